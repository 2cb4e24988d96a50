# SPDX-License-Identifier: MIT
# Front door.  `make run` builds and runs the i386 program; `make test`
# builds the i386 and the host program with their tests and runs them.
# Each first installs what it needs, and only what is missing.

BUILD ?= build
CMAKE ?= cmake
CTEST ?= ctest
PREFIX ?= /usr/local
MAKEFLAGS += --no-print-directory

.PHONY: all run check-platform test install package setup-run setup-test clean

all: run

# What each goal needs, and how to tell that each package is here: by
# trying the command, header or compiler mode the build will use.
run_packages := cmake make g++ g++-multilib qemu-user
test_packages := $(run_packages) libgtest-dev libseccomp-dev groff-base dpkg perl lintian

have_cmake := command -v $(CMAKE)
have_make := command -v $(MAKE)
have_g++ := command -v $(CXX)
have_g++-multilib := echo 'int main() {}' | $(CXX) -m32 -x c++ -o $(BUILD)/try -
# The emulator only where this kernel will not run i386 code: the 32-bit
# loader is itself an i386 program.
have_qemu-user := /lib/ld-linux.so.2 --version || command -v qemu-i386
have_libgtest-dev := echo '\#include <gtest/gtest.h>' | $(CXX) -E -x c++ -o /dev/null -
have_libseccomp-dev := echo '\#include <seccomp.h>' | $(CXX) -E -x c++ -o /dev/null -
have_groff-base := command -v groff
have_dpkg := command -v dpkg-deb
have_perl := command -v prove
have_lintian := command -v lintian

# Installs every missing package in one go: as root with apt-get, else
# through sudo, else names them all and stops.
setup-run setup-test:
	@mkdir -p $(BUILD); missing=; \
	$(foreach p,$($(@:setup-%=%)_packages),{ $(have_$(p)); } >/dev/null 2>&1 || missing="$$missing $(p)";) \
	[ -z "$$missing" ] && exit 0; \
	if ! command -v apt-get >/dev/null; then \
		echo "make: please install:$$missing (no apt-get here)" >&2; exit 1; \
	elif [ "$$(id -u)" = 0 ]; then as_root=env; \
	elif command -v sudo >/dev/null; then as_root="sudo env"; \
	else echo "make: please install:$$missing (not root, and no sudo)" >&2; exit 1; fi; \
	echo "make: installing$$missing"; \
	$$as_root apt-get update -q && \
	$$as_root DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing

host_FLAGS := -DSIGMASK_PROBE_HOST=ON
# Configures and builds tree $(1) with its tests ON or OFF ($(2)).
build = $(CMAKE) -S . -B $(BUILD)/$(1) $($(1)_FLAGS) -DBUILD_TESTING=$(2) && $(CMAKE) --build $(BUILD)/$(1)

run check-platform: setup-run
	@$(call build,i386,OFF)
	@$(CMAKE) --build $(BUILD)/i386 --target $@

test: setup-test
	$(call build,i386,ON)
	$(call build,host,ON)
	$(CTEST) --test-dir $(BUILD)/i386 --output-on-failure
	$(CTEST) --test-dir $(BUILD)/host --output-on-failure

install: setup-run
	@$(call build,i386,OFF)
	DESTDIR="$(DESTDIR)" $(CMAKE) --install $(BUILD)/i386 --prefix "$(PREFIX)"

# Time stamps come from the last commit, unless the caller chose them, so
# that one commit always packs into the same bytes.
package: setup-run
	@$(call build,i386,OFF)
	@epoch=$${SOURCE_DATE_EPOCH:-$$(git log -1 --format=%ct 2>/dev/null)}; \
	[ -n "$$epoch" ] && export SOURCE_DATE_EPOCH=$$epoch; \
	$(CMAKE) --build $(BUILD)/i386 --target package

clean:
	rm -rf $(BUILD)
