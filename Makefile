# Wraps CMake. `make demo` runs a whole upgrade against the simulator;
# `make check` builds and runs every test, then again under the sanitizers.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
BENCH_BUILD ?= build-bench
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
FUZZ_SECONDS ?= 60

GEN := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: all deps configure check check-unit check-asan check-slow lint demo bench fuzz install clean format

all: configure
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps

configure: deps
	@test -f $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) $(GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

check: check-unit check-asan

check-unit: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

check-asan: deps
	@test -f $(ASAN_BUILD)/CMakeCache.txt || cmake -S . -B $(ASAN_BUILD) $(GEN) \
	  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DKESTREL_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS) -LE slow

check-slow: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L slow

lint: all
	scripts/lint $(BUILD)

demo: all
	scripts/demo $(BUILD)

bench: deps
	@test -f $(BENCH_BUILD)/CMakeCache.txt || cmake -S . -B $(BENCH_BUILD) $(GEN) \
	  -DCMAKE_BUILD_TYPE=Release -DKESTREL_BENCH=ON -DKESTREL_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	scripts/bench $(BENCH_BUILD)

fuzz: deps
	@test -f $(FUZZ_BUILD)/CMakeCache.txt || cmake -S . -B $(FUZZ_BUILD) $(GEN) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DKESTREL_SANITIZE=ON -DKESTREL_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	scripts/fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

install: all
	cmake --install $(BUILD) --prefix $(PREFIX)

format:
	clang-format -i util/*.cpp util/*.h sim/*.cpp sim/*.h tests/*.cpp tests/support/*.cpp \
	  tests/support/*.h fuzz/*.cpp bench/*.cpp

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)
