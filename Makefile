# SPDX-License-Identifier: MIT
# Front door.  `make run` builds the programs for i386 (or ARCH, one of
# cmake/targets) and runs the probe; `make check-platform` runs the check
# on it; `make test` builds and tests the host and i386 builds, `make
# test-arches` every other target.  Each first installs what it needs, and
# only what is missing.

BUILD ?= build
CMAKE ?= cmake
CTEST ?= ctest
PREFIX ?= /usr/local
ARCH ?= i386
MAKEFLAGS += --no-print-directory

.PHONY: all run check-platform test test-arches install package clean

all: run

# Column $(2) of target $(1) in cmake/targets.
column = $(word $(2),$(shell grep '^$(1) ' cmake/targets))
other_arches := $(filter-out i386,$(shell grep -o '^[a-z][a-z0-9]*' cmake/targets))

# How to tell that each package is here: by trying the command, header or
# compiler mode the build will use.
have_cmake := command -v $(CMAKE)
have_make := command -v $(MAKE)
have_g++ := command -v $(CXX)
have_libc6-i386 := test -e /lib/ld-linux.so.2
have_libgtest-dev := echo '\#include <gtest/gtest.h>' | $(CXX) -E -x c++ -o /dev/null -
have_libseccomp-dev := echo '\#include <seccomp.h>' | $(CXX) -E -x c++ -o /dev/null -
have_groff-base := command -v groff
have_dpkg := command -v dpkg-deb
have_perl := command -v prove
have_lintian := command -v lintian
test_packages := g++ libgtest-dev libseccomp-dev groff-base dpkg perl lintian

# A target needs its cross compiler, and qemu-user where this kernel will
# not run the target's loader (its own, or the cross one).
have_compiler = command -v $(call column,$(1),2)-g++
have_emulator = $(call column,$(1),7) --version || \
	/usr/$(call column,$(1),2)$(call column,$(1),7) --version || command -v qemu-$(call column,$(1),4)

# Installs every missing package of targets $(1) and packages $(2) in one go:
# as root with apt-get, else through sudo, else names them all and stops.
define setup
@mkdir -p $(BUILD); missing=; \
need() { case " $$missing " in *" $$1 "*) ;; *) missing="$$missing $$1";; esac; }; \
$(foreach p,cmake make $(2),{ $(have_$(p)); } >/dev/null 2>&1 || need $(p);) \
$(foreach a,$(1),{ $(call have_compiler,$(a)); } >/dev/null 2>&1 || need g++-$(call column,$(a),2); \
	{ $(call have_emulator,$(a)); } >/dev/null 2>&1 || need qemu-user;) \
[ -z "$$missing" ] && exit 0; \
if ! command -v apt-get >/dev/null; then \
	echo "make: please install:$$missing (no apt-get here)" >&2; exit 1; \
elif [ "$$(id -u)" = 0 ]; then as_root=env; \
elif command -v sudo >/dev/null; then as_root="sudo env"; \
else echo "make: please install:$$missing (not root, and no sudo)" >&2; exit 1; fi; \
echo "make: installing$$missing"; \
$$as_root apt-get update -q && \
$$as_root DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing
endef

# Configures and builds tree $(1) with its tests ON or OFF ($(2)); a target
# tree is tested by the host tree's runner.
flags = $(if $(filter host,$(1)),-DSIGMASK_PROBE_HOST=ON,-DSIGMASK_PROBE_ARCH=$(1) \
	$(if $(filter ON,$(2)),-DSIGMASK_PROBE_HOST_TOOLS=$(abspath $(BUILD))/host/host-tools.cmake))
build = $(CMAKE) -S . -B $(BUILD)/$(1) $(call flags,$(1),$(2)) -DBUILD_TESTING=$(2) && $(CMAKE) --build $(BUILD)/$(1)

run check-platform:
	$(call setup,$(ARCH),$(if $(filter i386,$(ARCH)),libc6-i386))
	@$(call build,$(ARCH),OFF)
	@$(CMAKE) --build $(BUILD)/$(ARCH) --target $@

test:
	$(call setup,i386,libc6-i386 $(test_packages))
	$(call build,host,ON)
	$(call build,i386,ON)
	$(CTEST) --test-dir $(BUILD)/host --output-on-failure
	$(CTEST) --test-dir $(BUILD)/i386 --output-on-failure

test-arches:
	$(call setup,$(other_arches),$(test_packages))
	$(call build,host,ON)
	$(foreach a,$(other_arches),$(call build,$(a),ON) && $(CTEST) --test-dir $(BUILD)/$(a) --output-on-failure &&) true

install:
	$(call setup,$(ARCH))
	@$(call build,$(ARCH),OFF)
	DESTDIR="$(DESTDIR)" $(CMAKE) --install $(BUILD)/$(ARCH) --prefix "$(PREFIX)"

# Time stamps come from the last commit, unless the caller chose them, so
# that one commit always packs into the same bytes.
package:
	$(call setup,$(ARCH))
	@$(call build,$(ARCH),OFF)
	@epoch=$${SOURCE_DATE_EPOCH:-$$(git log -1 --format=%ct 2>/dev/null)}; \
	[ -n "$$epoch" ] && export SOURCE_DATE_EPOCH=$$epoch; \
	$(CMAKE) --build $(BUILD)/$(ARCH) --target package

clean:
	rm -rf $(BUILD)
