# The two commands: `make demo` and `make test`. Everything else is a helper.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all build demo test deps layers-check test-linux test-reader test-windows test-win32 format format-check clean package test-package test-hardening test-systemd fuzz bench sim

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# The demo needs a compiler and CMake, and builds the program alone, in a
# build tree of its own without the tests.
DEMO_BUILD ?= build-demo
DEMO_DEPS = g++ cmake make
demo:
	scripts/install-deps.sh --only $(DEMO_DEPS)
	[ -f $(DEMO_BUILD)/CMakeCache.txt ] || \
	  cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGHARVEST_TESTS=OFF
	cmake --build $(DEMO_BUILD) --target logharvest -j $(JOBS)
	scripts/demo.sh $(DEMO_BUILD)/logharvest

deps:
	scripts/install-deps.sh

# Every test (scripts/test-all.sh): the packages of the later tests and the
# kept roots (the 32-bit Wine root, the root with systemd) are made in the
# background while the Linux build and its tests run.
TEST_DEPS = $(WIN32_DEPS) $(SYSTEMD_DEPS) $(READER_DEPS) $(WINDOWS_DEPS) $(PACKAGE_DEPS) $(TEST_PACKAGE_DEPS) \
  $(HARDENING_DEPS) locales
test:
	BUILD=$(BUILD) OUT=$(OUT) JOBS=$(JOBS) TEST_DEPS="$(TEST_DEPS)" scripts/test-all.sh

test-linux: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure

# A real reader of description lists, a file server from npm, shows what
# the program wrote (scripts/test-reader.sh); hfs is kept in $(BUILD)/reader.
READER_DEPS = nodejs iproute2
test-reader: build
	scripts/test-reader.sh $(BUILD)/logharvest $(BUILD)/reader

# The tests again under AddressSanitizer and UndefinedBehaviorSanitizer, and
# each fuzz target briefly; `make fuzz` gives each fuzz target a minute.
HARDENING_DEPS = clang libclang-rt-14-dev
test-hardening:
	scripts/install-deps.sh $(HARDENING_DEPS)
	JOBS=$(JOBS) scripts/test-hardening.sh

fuzz:
	scripts/install-deps.sh $(HARDENING_DEPS)
	FUZZ_SECONDS=60 JOBS=$(JOBS) scripts/test-hardening.sh fuzz

# The Windows program: the 32-bit release build and the 64-bit build, whose
# unit tests and end-to-end suite run under Wine (scripts/test-windows.sh),
# in the locale ru_RU.UTF-8 for the ANSI code page 1251 (scripts/add-locale.sh
# installs locales and makes it).
WINDOWS_DEPS = g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64
test-windows:
	scripts/install-deps.sh $(WINDOWS_DEPS)
	scripts/add-locale.sh
	JOBS=$(JOBS) scripts/test-windows.sh

# Release packages in $(OUT): a .deb from a Linux build and a .zip from the
# 32-bit Windows build, both built afresh without the tests, with the
# optimisation the tests run at and the hardening flags (CMakeLists.txt);
# CPack strips the debug information and reads the .deb's dependencies off
# the program with file and dpkg-shlibdeps. The version is the project's,
# in CMakeLists.txt.
OUT ?= out
PACKAGE_DEPS = g++-mingw-w64-i686 file
package:
	scripts/install-deps.sh $(PACKAGE_DEPS)
	rm -rf $(OUT)
	cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGHARVEST_TESTS=OFF
	cmake --build build-pkg -j $(JOBS)
	cd build-pkg && cpack -G DEB -B $(CURDIR)/$(OUT)
	cmake -S . -B build-pkg-win32 -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-i686.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLOGHARVEST_TESTS=OFF
	cmake --build build-pkg-win32 -j $(JOBS)
	cd build-pkg-win32 && cpack -G ZIP -B $(CURDIR)/$(OUT)
	rm -rf $(OUT)/_CPack_Packages

# The package test judges the .deb with lintian and its program with
# hardening-check (from devscripts), and the PE headers of the released
# 32-bit program and of a 64-bit one, built as the release is: the program
# of build-win64, the tree test-windows builds it in (its flags are the
# release's; the tests built beside it change none of them).
TEST_PACKAGE_DEPS = lintian devscripts g++-mingw-w64-x86-64 inotify-tools
test-package: package
	scripts/install-deps.sh $(TEST_PACKAGE_DEPS)
	[ -f build-win64/CMakeCache.txt ] || cmake -S . -B build-win64 \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-win64 --target logharvest -j $(JOBS)
	LINUX_BUILD=build-pkg WIN64_PROGRAM=build-win64/logharvest.exe scripts/test-package.sh $(OUT)

# The released 32-bit program, out of the .zip, under 32-bit Wine: in an
# i386 root run by qemu-i386, set up once and kept in /var/tmp, torn down
# after each run (scripts/wine32-env.sh, scripts/test-win32.sh).
WIN32_DEPS = g++-mingw-w64-i686 unzip mmdebstrap arch-test
test-win32: package
	scripts/install-deps.sh $(WIN32_DEPS)
	JOBS=$(JOBS) scripts/test-win32.sh $(OUT)

# Harvest on arrival: the package's systemd units on a booted systemd, in
# a Debian 12 root made once and kept in /var/tmp (scripts/systemd-env.sh,
# scripts/test-systemd.sh).
SYSTEMD_DEPS = mmdebstrap util-linux
test-systemd: build package
	scripts/install-deps.sh $(SYSTEMD_DEPS)
	scripts/systemd-env.sh --prepare
	scripts/test-systemd.sh $(OUT)

# The simulated world around a harvest, on every core for SECONDS seconds
# (make sim SECONDS=600); make test runs a fixed set of seeds and a short
# random run of it (tests/simulation_test.cpp).
SECONDS ?= 60
sim: build
	SIM_SECONDS=$(SECONDS) scripts/sim.sh $(BUILD)

# The benchmark: workloads, targets and results in bench/README.md. It is
# never part of `make test`.
BENCH_DEPS = python3 strace time e2fsprogs
bench:
	scripts/install-deps.sh $(BENCH_DEPS)
	bench/run.sh

# Includes in src/ only look down the layers (scripts/check-layers.sh).
layers-check:
	scripts/check-layers.sh

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check:
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(DEMO_BUILD) build-win32 build-win64 build-pkg build-pkg-win32 build-win32-shipped build-asan build-fuzz build-bench $(OUT)
