# Wraps CMake. `make demo` runs a whole upgrade against the simulator;
# `make check` builds and runs every test, then again under the sanitizers;
# `make check-cross ARCH=armhf` (or arm64) builds for that ARM host and runs
# every test under qemu-user.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
BENCH_BUILD ?= build-bench
RELEASE_BUILD ?= build-release
ARCH       ?= armhf
CROSS_BUILD ?= build-$(ARCH)
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 60
DEB_OUT    ?= build-deb
FLEET_BUILD ?= build-fleet
# The Debian package is for the build machine's own architecture unless ARCH
# is given (the cross builds' default above does not count here).
DEB_ARCH := $(if $(filter command line environment,$(origin ARCH)),$(ARCH),$(shell dpkg --print-architecture 2>/dev/null))

GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
# Every build this Makefile configures treats warnings as errors.
CMAKE_CONFIGURE = cmake -S . $(GEN) -DKESTREL_WERROR=ON

.PHONY: all deps deps-cross configure configure-cross check check-unit check-asan check-slow \
	check-cross cross release lint demo bench bench-production bench-noise fuzz install \
	install-cross clean format deb check-fleet

all: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || $(CMAKE_CONFIGURE) -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

check: check-unit check-asan

check-unit: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

check-asan: deps
	@test -f $(ASAN_BUILD)/CMakeCache.txt || $(CMAKE_CONFIGURE) -B $(ASAN_BUILD) \
	  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DKESTREL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE slow

# The program, the simulator and the tests built for an ARM host, the tests
# run under qemu-user (the cross tools are installed for that ARCH only).
deps-cross: deps
	@scripts/install-deps-cross $(ARCH)

configure-cross: deps-cross
	@test -f $(CROSS_BUILD)/CMakeCache.txt || $(CMAKE_CONFIGURE) -B $(CROSS_BUILD) \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$(ARCH).cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo

cross: configure-cross
	cmake --build $(CROSS_BUILD) -j $(JOBS)

check-cross: cross
	cd $(CROSS_BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

# Everything built as a distribution would build it (no tests run).
release: deps
	@test -f $(RELEASE_BUILD)/CMakeCache.txt || $(CMAKE_CONFIGURE) -B $(RELEASE_BUILD) \
	  -DCMAKE_BUILD_TYPE=Release
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

check-slow: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L slow

lint: all
	scripts/lint $(BUILD)

# Only the program and the simulator: the demo runs no tests.
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target kestrel h8s-bootsim
	scripts/demo $(BUILD)

bench: deps
	@test -f $(BENCH_BUILD)/CMakeCache.txt || $(CMAKE_CONFIGURE) -B $(BENCH_BUILD) \
	  -DCMAKE_BUILD_TYPE=Release -DKESTREL_BENCH=ON -DKESTREL_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	scripts/bench $(BENCH_BUILD)

# Only the production rows of the upgrade benchmark (--skip-blank, kestrel-gang).
bench-production: deps
	@test -f $(BENCH_BUILD)/CMakeCache.txt || $(CMAKE_CONFIGURE) -B $(BENCH_BUILD) \
	  -DCMAKE_BUILD_TYPE=Release -DKESTREL_BENCH=ON -DKESTREL_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	$(BENCH_BUILD)/bench/bench_upgrade --production

# Only the noise table of the benchmarks (bench/README.md).
bench-noise: deps
	@test -f $(BENCH_BUILD)/CMakeCache.txt || $(CMAKE_CONFIGURE) -B $(BENCH_BUILD) \
	  -DCMAKE_BUILD_TYPE=Release -DKESTREL_BENCH=ON -DKESTREL_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	scripts/bench $(BENCH_BUILD) --noise

fuzz: deps
	@test -f $(FUZZ_BUILD)/CMakeCache.txt || $(CMAKE_CONFIGURE) -B $(FUZZ_BUILD) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DKESTREL_SANITIZE=ON -DKESTREL_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	scripts/fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The program and its manual page; DESTDIR=<root file system> installs under
# that directory. install-cross installs the program built for ARCH.
install: configure
	cmake --build $(BUILD) -j $(JOBS) --target kestrel kestrel-gang
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix $(PREFIX)

install-cross: configure-cross
	cmake --build $(CROSS_BUILD) -j $(JOBS) --target kestrel kestrel-gang
	DESTDIR="$(DESTDIR)" cmake --install $(CROSS_BUILD) --prefix $(PREFIX)

# The Debian package (kestrel_<version>_<arch>.deb) in $(DEB_OUT), checked
# with lintian; ARCH=armhf or arm64 cross-builds it.
deb:
	@scripts/install-deps-deb $(DEB_ARCH)
	scripts/deb $(DEB_OUT) $(DEB_ARCH)

# The package's Mender update module and SWUpdate handler end to end against
# the simulator, with the real tools, in a private mount namespace (as root):
# see scripts/check-fleet. Everything it writes stays in $(FLEET_BUILD).
NATIVE_ARCH := $(shell dpkg --print-architecture 2>/dev/null)
check-fleet: all
	@scripts/install-deps-deb $(NATIVE_ARCH)
	@scripts/install-deps-fleet
	scripts/deb $(DEB_OUT) $(NATIVE_ARCH)
	scripts/check-fleet $(BUILD) $(DEB_OUT)/kestrel_$$(dpkg-parsechangelog -S Version)_$(NATIVE_ARCH).deb \
	  $(FLEET_BUILD)

format:
	clang-format -i util/*/*.cpp util/*/*.h cmake/*.cpp sim/*.cpp sim/*.h tests/*.cpp tests/support/*.cpp \
	  tests/support/*.h fuzz/*.cpp bench/*.cpp

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) $(RELEASE_BUILD) build-armhf build-arm64 \
	  $(DEB_OUT) $(FLEET_BUILD)
