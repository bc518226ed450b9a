# Vandrel: `make test` builds everything and runs every suite; `make demo` runs the wizard;
# `make bench` measures the copy side by side with plain copies and gphoto2; `make release`
# writes the maker's release kit; `make check-update UPDATE=folder` lints and rehearses an update.
# All install what they need first (Debian packages; run as root).

BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_COMMON = -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

PACKAGES = cmake ninja-build g++ googletest clang nlohmann-json3-dev osslsigncode openssl dpkg-dev \
	g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix binutils-mingw-w64 \
	wine wine64 xvfb xauth x11-utils gphoto2 tshark python3 imagemagick

# Installs those of the packages in $(1) that are missing.
install = missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "Installing:" $$missing; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null || exit 1; \
	fi

.PHONY: all deps configure build test demo bench release check-update clean

all: build

# libFuzzer and the sanitizers' runtime are packaged apart, under clang's major version.
deps:
	@$(call install,$(PACKAGES))
	@$(call install,libclang-rt-$$(clang -dumpversion | cut -d. -f1)-dev)

$(BUILD)/x86_64/build.ninja: | deps
	cmake -S . -B $(BUILD)/x86_64 $(CMAKE_COMMON) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-x86_64-w64-mingw32.cmake
$(BUILD)/i686/build.ninja: | deps
	cmake -S . -B $(BUILD)/i686 $(CMAKE_COMMON) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-i686-w64-mingw32.cmake
$(BUILD)/native/build.ninja: | deps
	cmake -S . -B $(BUILD)/native $(CMAKE_COMMON)
# No build type: the sanitizer option sets the optimization, and assertions stay on.
$(BUILD)/asan/build.ninja: | deps
	cmake -S . -B $(BUILD)/asan -G Ninja -DVANDREL_SANITIZE=ON
$(BUILD)/fuzz/build.ninja: | deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)/fuzz $(CMAKE_COMMON) -DVANDREL_FUZZ=ON

CONFIGS = native asan x86_64 i686 fuzz

configure: $(foreach c,$(CONFIGS),$(BUILD)/$(c)/build.ninja)

# The i686 build only compiles, and only what ships (32-bit programs cannot run on these
# machines): its compile checks the 36-byte stream descriptor and the packed records.
build: deps configure
	for c in $(CONFIGS); do \
		ninja -C $(BUILD)/$$c -j$(JOBS) $$([ $$c = i686 ] && echo kit) || exit 1; \
	done

test: build
	tools/run-tests $(BUILD)/native $(BUILD)/asan $(BUILD)/fuzz $(BUILD)/x86_64

demo: deps $(BUILD)/x86_64/build.ninja
	ninja -C $(BUILD)/x86_64 -j$(JOBS)
	tools/demo $(BUILD)/x86_64 $(BUILD)/demo

bench: deps $(BUILD)/x86_64/build.ninja $(BUILD)/native/build.ninja
	ninja -C $(BUILD)/native -j$(JOBS)
	ninja -C $(BUILD)/x86_64 -j$(JOBS)
	bench/run $(BUILD)

# The release kit: build/release/Vandrel-<version>/ and its zip, reproducible binaries.
# SIGN=cert.pfx signs the four binaries (Authenticode, osslsigncode) with the password in
# SIGN_PASS_FILE (or SIGN_PASS); SIGN_COMMAND='...' signs with the maker's own command instead,
# run once per file with the file's path as its last argument. Make hands variables given on
# its command line to tools/release in the environment.
release: deps $(BUILD)/x86_64/build.ninja
	ninja -C $(BUILD)/x86_64 -j$(JOBS) kit
	tools/release $(BUILD)/x86_64 $(BUILD)/release

# Lints and rehearses UPDATE (by default the sample update of samples/update); the report goes
# to REPORT. CODE_PAGES=932,1252 and CAMERA_MODEL="..." go to the check. Make ends a failing
# recipe with its own 2: the check's own code (0 passed, 1 failed, 2 could not run) is in
# REPORT/exit-code, and `tools/check-update` run directly exits with it.
REPORT ?= $(BUILD)/check
check-update: deps $(BUILD)/x86_64/build.ninja
	ninja -C $(BUILD)/x86_64 -j$(JOBS) kit
	tools/check-update $(BUILD)/x86_64 "$(REPORT)" "$(UPDATE)" \
		$(if $(CODE_PAGES),--code-pages "$(CODE_PAGES)") \
		$(if $(CAMERA_MODEL),--camera-model "$(CAMERA_MODEL)")

clean:
	rm -rf $(BUILD)
