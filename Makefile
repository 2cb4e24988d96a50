# Front door: `make run` builds and runs the i386 program, `make test` builds
# both the i386 and the host program and tests both.  Each first installs
# what the i386 build needs, and only what is missing.

BUILD ?= build
CMAKE ?= cmake
CTEST ?= ctest
PREFIX ?= /usr/local
CHECK := $(BUILD)/i386-check
MAKEFLAGS += --no-print-directory

.PHONY: all run test install package deps i386 host clean

all: i386

run: i386
	@$(CMAKE) --build $(BUILD)/i386 --target run

test: i386 host
	$(CTEST) --test-dir $(BUILD)/i386 --output-on-failure
	$(CTEST) --test-dir $(BUILD)/host --output-on-failure

install: i386
	DESTDIR="$(DESTDIR)" $(CMAKE) --install $(BUILD)/i386 --prefix "$(PREFIX)"

package: i386
	$(CMAKE) --build $(BUILD)/i386 --target package

host_FLAGS := -DSIGMASK_PROBE_HOST=ON

i386 host: deps
	$(CMAKE) -S . -B $(BUILD)/$@ $($@_FLAGS)
	$(CMAKE) --build $(BUILD)/$@

# Installs the packages $(1): with apt-get as root, through sudo otherwise.
define apt_install
if ! command -v apt-get >/dev/null; then \
	echo "make: please install $(1) (no apt-get here)" >&2; exit 1; \
elif [ "$$(id -u)" = 0 ]; then \
	apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $(1); \
elif command -v sudo >/dev/null; then \
	sudo apt-get update && sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $(1); \
else \
	echo "make: please install $(1) (not root, and no sudo)" >&2; exit 1; \
fi
endef

# A compiler that links -m32 code, and an emulator where this kernel will
# not run it (decided by running a trivial i386 program).
deps:
	@mkdir -p $(BUILD)
	@echo 'int main() { return 0; }' >$(CHECK).cpp
	@$(CXX) -m32 -o $(CHECK) $(CHECK).cpp 2>/dev/null || { \
		$(call apt_install,g++-multilib) && $(CXX) -m32 -o $(CHECK) $(CHECK).cpp; }
	@$(CHECK) 2>/dev/null || command -v qemu-i386 >/dev/null || { $(call apt_install,qemu-user); }

clean:
	rm -rf $(BUILD)
