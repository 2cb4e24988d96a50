# SPDX-License-Identifier: MIT
# Front door.  `make run` builds the programs for the home target (or ARCH,
# one of cmake/targets) and runs the probe; `make check-platform` runs the
# check on it; `make test` builds and tests this machine's build and the
# home target's, `make test-arches` every other target, `make test-sanitize`
# the host's again, built with AddressSanitizer and UBSan, `make fuzz` runs
# the fuzz targets of what the check reads (FUZZ_SECONDS each).  Each first sets up
# what it needs: `make setup`, `setup-test` and `setup-arches` install what
# is missing, in one apt-get.  `make install` and `make package` build
# with what is here, and name what is missing.
# `make image` writes a boot image whose first program is the check;
# `make check-kernel` boots it on Debian's kernel for the target (or
# ARCH=uml) and prints the check's report; `make test-kernels` does that
# for every target and tests the first-program mode; `make setup-kernels`
# installs the emulators they boot under.
# `make deb` builds the Debian source and binary packages with
# dpkg-buildpackage and lints them; `make autopkgtest` runs their tests on
# the installed package, on this machine; `make deb-reproducible` builds
# them twice and compares.

HOME_ARCH = i386
ARCH ?= $(HOME_ARCH)
BUILD ?= build
CMAKE ?= cmake
CTEST ?= ctest
PREFIX ?= /usr/local
MAKEFLAGS += --no-print-directory
# make image and check-kernel: STATIC=1 for the statically linked flavour,
# KERNEL for a kernel of your own, ARGS for the check's options.
STATIC ?=
KERNEL ?=
ARGS ?=

.PHONY: all run check-platform test test-sanitize fuzz test-arches install package matrix bench clean \
	setup setup-test setup-arches image check-kernel setup-kernels test-kernels \
	deb autopkgtest deb-reproducible

all: run

target = $(shell sh cmake/target $(1) $(2))
other_arches := $(filter-out $(HOME_ARCH),$(shell sh cmake/target))
# The targets whose Debian kernel qemu-system boots.
booted_arches = $(foreach a,$(HOME_ARCH) $(other_arches),$(if $(filter-out -,$(call target,$(a),kernel)),$(a)))

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
have_libxml2-utils := command -v xmllint
have_libtap-formatter-junit-perl := perl -MTAP::Formatter::JUnit -e 1
test_packages := g++ libgtest-dev libseccomp-dev groff-base dpkg perl lintian libxml2-utils \
	libtap-formatter-junit-perl
# The kernel headers of every architecture the check knows the signal
# numbering of, built here or not: the tests hold its table against them.
signal_headers := i386:i686-linux-gnu arm64:aarch64-linux-gnu armhf:arm-linux-gnueabihf \
	s390x:s390x-linux-gnu riscv64:riscv64-linux-gnu ppc64el:powerpc64le-linux-gnu \
	mipsel:mipsel-linux-gnu mips64el:mips64el-linux-gnuabi64 alpha:alpha-linux-gnu \
	hppa:hppa-linux-gnu sparc64:sparc64-linux-gnu
$(foreach h,$(signal_headers),$(eval have_linux-libc-dev-$(firstword $(subst :, ,$(h)))-cross := \
	test -e /usr/$(lastword $(subst :, ,$(h)))/include/asm/signal.h))
test_packages += $(foreach h,$(signal_headers),linux-libc-dev-$(firstword $(subst :, ,$(h)))-cross)
have_qemu-system-x86 := command -v qemu-system-x86_64
have_qemu-system-arm := command -v qemu-system-aarch64
have_qemu-system-misc := command -v qemu-system-riscv64
have_qemu-system-ppc := command -v qemu-system-ppc64
have_qemu-system-mips := command -v qemu-system-mipsel
have_user-mode-linux := command -v linux.uml
kernel_packages := qemu-system-x86 qemu-system-arm qemu-system-misc qemu-system-ppc qemu-system-mips \
	user-mode-linux
have_debhelper := command -v dh
have_dpkg-dev := command -v dpkg-buildpackage
have_build-essential := test -e /usr/share/build-essential/list
have_autopkgtest := command -v autopkgtest
# The container inits the tests run the probe under.
have_tini := command -v tini
have_dumb-init := command -v dumb-init
have_catatonit := command -v catatonit
init_packages := tini dumb-init catatonit
# gVisor, for the tests inside a sandbox: Debian builds it for amd64 and
# arm64 alone.
have_runsc := command -v runsc || case $$(dpkg --print-architecture) in amd64|arm64) false;; esac
# dpkg-buildpackage's own, beside the build dependencies (test_packages).
deb_packages := debhelper dpkg-dev build-essential
# The home target runs here on the machine's own i386 libraries.
home_packages := $(if $(filter i386,$(HOME_ARCH)),libc6-i386)

# Whether packages $(1), and the compilers and, with $(3) = run, the
# emulators of targets $(2) are here.  With $(4) = install, installs
# everything missing in one go: as root with apt-get, else through sudo,
# else names it all and stops; otherwise names it and points to the set-up.
define setup
@mkdir -p $(BUILD); missing=; \
need() { case " $$missing " in *" $$1 "*) ;; *) missing="$$missing $$1";; esac; }; \
$(foreach p,cmake make $(1),{ $(have_$(p)); } >/dev/null 2>&1 || need $(p);) \
$(foreach a,$(2),command -v $(call target,$(a),triplet)-g++ >/dev/null || need g++-$(call target,$(a),triplet); \
	$(if $(filter run,$(3)),qemu='$(firstword $(call target,$(a),emulator))'; \
	[ -z "$$qemu" ] || command -v $$qemu >/dev/null || need qemu-user;)) \
[ -z "$$missing" ] && exit 0; \
if [ "$(4)" != install ]; then \
	echo "make: missing:$$missing (make setup installs them)" >&2; exit 1; \
elif ! command -v apt-get >/dev/null; then \
	echo "make: please install:$$missing (no apt-get here)" >&2; exit 1; \
elif [ "$$(id -u)" = 0 ]; then as_root=env; \
elif command -v sudo >/dev/null; then as_root="sudo env"; \
else echo "make: please install:$$missing (not root, and no sudo)" >&2; exit 1; fi; \
echo "make: installing$$missing"; \
$$as_root apt-get update -q && \
$$as_root DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing
endef

setup:
	$(call setup,$(if $(filter $(HOME_ARCH),$(ARCH)),$(home_packages)),$(ARCH),run,install)
setup-test:
	$(call setup,$(home_packages) $(test_packages) $(deb_packages) autopkgtest runsc $(init_packages),$(HOME_ARCH),run,install)
setup-arches:
	$(call setup,$(test_packages),$(other_arches),run,install)
setup-kernels:
	$(call setup,$(test_packages) $(kernel_packages),$(booted_arches),,install)

# Configures and builds tree $(1) with its tests ON or OFF ($(2)), or as it
# was (OFF for a new tree); a target tree is tested by the host tree's runner.
# Tree T-static is target T linked statically.
flags = $(if $(filter host,$(1)),,-DSIGMASK_PROBE_ARCH=$(1:-static=) \
	$(if $(filter %-static,$(1)),-DSIGMASK_PROBE_STATIC=ON) \
	$(if $(filter ON,$(2)),-DSIGMASK_PROBE_HOST_TOOLS=$(abspath $(BUILD))/host/host-tools.cmake))
testing = $(if $(2),-DBUILD_TESTING=$(2),$(if $(wildcard $(BUILD)/$(1)/CMakeCache.txt),,-DBUILD_TESTING=OFF))
build = $(CMAKE) -S . -B $(BUILD)/$(1) $(call flags,$(1),$(2)) $(call testing,$(1),$(2)) && \
	$(CMAKE) --build $(BUILD)/$(1)

run check-platform: setup
	@$(call build,$(ARCH),OFF)
	@$(CMAKE) --build $(BUILD)/$(ARCH) --target $@

test: setup-test
	$(call build,host,ON)
	$(call build,$(HOME_ARCH),ON)
	$(CTEST) --test-dir $(BUILD)/host --output-on-failure -LE kernel
	$(CTEST) --test-dir $(BUILD)/$(HOME_ARCH) --output-on-failure -LE kernel

# The host build and its whole suite once more, built with sanitizers;
# their handlers stay off the signals the rows are about, and leaks are not
# looked for: LeakSanitizer's tracer at exit is not always let be where the
# check reaps everything as process 1, nor with one process for the user.
SANITIZE ?= address,undefined
sanitizer_options = ASAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:verify_asan_link_order=0:detect_leaks=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
test-sanitize: setup-test
	$(CMAKE) -S . -B $(BUILD)/host-sanitize -DBUILD_TESTING=ON -DSIGMASK_PROBE_SANITIZE=$(SANITIZE) && \
		$(CMAKE) --build $(BUILD)/host-sanitize
	$(sanitizer_options) $(CTEST) --test-dir $(BUILD)/host-sanitize --output-on-failure -LE kernel

# Each fuzz target of fuzz/ for FUZZ_SECONDS, from the seeds in the tree
# (and known/, and the head of a program for the ELF reader); a crash
# stops it, and its input is left in $(BUILD)/fuzz.
FUZZ_SECONDS ?= 60
fuzzers := witness_line calls_lines known_file elf_facts escaping cpio
have_clang := command -v clang++
have_libclang-rt-14-dev := ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-*.a
fuzz:
	$(call setup,clang libclang-rt-14-dev,,,install)
	CXX=clang++ $(CMAKE) -S . -B $(BUILD)/fuzz -DSIGMASK_PROBE_FUZZ=ON -DBUILD_TESTING=OFF && \
		$(CMAKE) --build $(BUILD)/fuzz --target $(addprefix fuzz-,$(fuzzers))
	@mkdir -p $(BUILD)/fuzz/seeds/elf_facts $(BUILD)/fuzz/seeds/known_file && \
		head -c 4096 $(BUILD)/fuzz/fuzz/fuzz-cpio >$(BUILD)/fuzz/seeds/elf_facts/program && \
		cp known/* $(BUILD)/fuzz/seeds/known_file/
	@for f in $(fuzzers); do \
		mkdir -p $(BUILD)/fuzz/corpus/$$f; \
		echo "make: fuzz-$$f for $(FUZZ_SECONDS) s"; \
		$(BUILD)/fuzz/fuzz/fuzz-$$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
			-artifact_prefix=$(BUILD)/fuzz/$$f- $(BUILD)/fuzz/corpus/$$f \
			$$(ls -d fuzz/corpus/$$f $(BUILD)/fuzz/seeds/$$f 2>/dev/null) \
			2>&1 | grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|==[0-9]+==|SUMMARY)' || true; \
		[ -z "$$(ls $(BUILD)/fuzz/$$f-crash-* $(BUILD)/fuzz/$$f-leak-* $(BUILD)/fuzz/$$f-timeout-* $(BUILD)/fuzz/$$f-oom-* 2>/dev/null)" ] || \
			{ echo "make: fuzz-$$f found an input that breaks it: $(BUILD)/fuzz/$$f-*" >&2; exit 1; }; \
	done

test-arches: setup-arches
	$(call build,host,ON)
	$(foreach a,$(other_arches),$(call build,$(a),ON) && \
		$(CTEST) --test-dir $(BUILD)/$(a) --output-on-failure -LE kernel &&) true

# The boot image of tree $(1): the host's image writer packs the tree's
# programs with the loader and libc of the sysroot they were linked with.
image_of = $(BUILD)/$(1)/sigmask-probe-$(1).cpio.gz
sysroot = $(firstword $(wildcard /usr/$(call target,$(1:-static=),triplet)/lib/$(call target,$(1:-static=),libc)) /)
pack = $(BUILD)/host/bin/sigmask-probe-image --bin $(BUILD)/$(1)/bin \
	--sysroot $(patsubst %/lib/$(call target,$(1:-static=),libc),%,$(call sysroot,$(1))) -o $(call image_of,$(1))
tree = $(if $(filter uml,$(ARCH)),amd64,$(ARCH))$(if $(STATIC),-static)

image:
	$(call setup,$(if $(filter $(HOME_ARCH),$(tree)),$(home_packages)),$(tree:-static=),,install)
	@{ $(call build,host,); } >/dev/null
	@$(call build,$(tree),)
	@$(call pack,$(tree)) && echo "make: wrote $(call image_of,$(tree))"

# Its standard output is the report alone: making the image says its say
# on standard error.
check-kernel:
	@$(MAKE) image >&2
	@sh tools/check-kernel $(BUILD) $(ARCH) "$(KERNEL)" "$(ARGS)"

# Every target's image on Debian's kernel for it, and on user-mode-linux;
# the static flavour, the first-program mode's options and status too.
test-kernels: setup-kernels
	$(call build,host,ON)
	$(foreach a,$(booted_arches),$(call build,$(a),ON) && $(call pack,$(a)) &&) true
	$(call build,amd64-static,OFF) && $(call pack,amd64-static)
	$(foreach a,$(booted_arches),$(CTEST) --test-dir $(BUILD)/$(a) --output-on-failure -L kernel &&) true

install:
	$(call setup,,$(ARCH))
	@$(call build,$(ARCH),OFF)
	DESTDIR="$(DESTDIR)" $(CMAKE) --install $(BUILD)/$(ARCH) --prefix "$(PREFIX)"

# Time stamps come from the last commit, unless the caller chose them, so
# that one commit always packs into the same bytes.
package:
	$(call setup,,$(ARCH))
	@$(call build,$(ARCH),OFF)
	@epoch=$${SOURCE_DATE_EPOCH:-$$(git log -1 --format=%ct 2>/dev/null)}; \
	[ -n "$$epoch" ] && export SOURCE_DATE_EPOCH=$$epoch; \
	$(CMAKE) --build $(BUILD)/$(ARCH) --target package

# The packages are built from a copy of the tree's files (those git does
# not ignore) in $(BUILD)/deb, again whenever one of them changed.
deb_built := $(BUILD)/deb/built
deb_sources := $(wildcard $(shell git ls-files --cached --others --exclude-standard 2>/dev/null || \
	find . -path ./$(BUILD) -prune -o -path ./.git -prune -o -type f -print))

deb: $(deb_built)
$(deb_built): $(deb_sources)
	$(call setup,$(test_packages) $(deb_packages),,,install)
	sh tools/deb $(BUILD)/deb
	touch $@

# autopkgtest's null runner installs the package and the tests'
# dependencies here (as root) and runs the tests; 2 is "some skipped".
autopkgtest: $(deb_built)
	$(call setup,autopkgtest,,,install)
	rm -rf $(BUILD)/autopkgtest
	autopkgtest --output-dir $(BUILD)/autopkgtest $(BUILD)/deb/*.changes -- null || [ $$? = 2 ]

deb-reproducible:
	$(call setup,$(test_packages) $(deb_packages),,,install)
	sh tools/deb-reproducible $(BUILD)/deb-reproducible

# The check under each wrapper of tools/matrix that is installed and on
# each target, as the README's grid and doc/matrix.svg; and the check's
# speed against a shell loop.
matrix bench:
	@{ $(call build,host,); } >/dev/null
	@$(foreach a,$(HOME_ARCH) $(other_arches),{ command -v $(call target,$(a),triplet)-g++ >/dev/null && \
		$(call build,$(a),) && $(call pack,$(a)); } >/dev/null;) true
	@sh tools/$@ $(BUILD)

clean:
	rm -rf $(BUILD)
