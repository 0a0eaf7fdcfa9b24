# Wraps CMake.  `make demo` fits the bundled sample scene; `make check` runs
# every test, then the same suite built with AddressSanitizer and
# UndefinedBehaviorSanitizer.  Both install missing Debian packages first.
BUILD      ?= build
SAN_BUILD  ?= build-san
FUZZ_BUILD ?= build-fuzz
JOBS       ?= 2
FUZZ_SECONDS ?= 30
STORM_SECONDS ?= 30
LONGRUN_PASSES ?= 100000
LONGRUN_VALGRIND_PASSES ?= 10000

SAN_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
          UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
          LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0

.PHONY: all deps build build-san test test-san check demo bench accuracy clean build-fuzz fuzz longrun storm

all: build

deps:
	@tools/install-deps

build: deps
	cmake -S . -B $(BUILD) -DHYBFIT_SANITIZE=OFF
	cmake --build $(BUILD) -j $(JOBS)

build-san: deps
	cmake -S . -B $(SAN_BUILD) -DHYBFIT_SANITIZE=ON -DHYBFIT_BENCH=OFF
	cmake --build $(SAN_BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-san: build-san
	cd $(SAN_BUILD) && $(SAN_ENV) ctest --output-on-failure -j $(JOBS)

check: test test-san
	$(MAKE) fuzz FUZZ_SECONDS=30
	$(MAKE) storm STORM_SECONDS=30

demo: build
	@tools/demo $(BUILD)

# How well the unattended fit recovers known models (tools/accuracy).
accuracy: build
	@tools/accuracy $(BUILD)

bench: build
	@for b in $(BUILD)/bench/bench_*; do [ -x "$$b" ] && "$$b"; done

# libFuzzer targets of the readers and the command line (clang++), each run
# for FUZZ_SECONDS; see tests/fuzz/CMakeLists.txt and tools/fuzz-run.
build-fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DHYBFIT_FUZZ=ON -DHYBFIT_BENCH=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers

fuzz: build-fuzz
	@tools/fuzz-run $(FUZZ_BUILD) $(FUZZ_SECONDS)

# Unattended batch runs of 20 models: LONGRUN_PASSES under the sanitizer
# build, LONGRUN_VALGRIND_PASSES under valgrind; resident memory is watched.
longrun: build build-san
	@tools/longrun $(SAN_BUILD) $(BUILD) $(LONGRUN_PASSES) $(LONGRUN_VALGRIND_PASSES)

# Random keys, drags, menu choices and resizes through XTest for
# STORM_SECONDS against the sanitizer build on a private Xvfb.
storm: build-san
	@tools/storm $(SAN_BUILD) $(STORM_SECONDS)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)
