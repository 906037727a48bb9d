# Front door. Each goal installs the Debian packages it misses, builds and runs:
#   make demo    build, write a sample acquisition, look at it with meridel (CPython, NumPy)
#   make test    build with the tests, run every suite of the plain build (ctest)
#   make check   make test, then the sanitizer pass and the fuzz smoke run (CI's tier)
#   make bench   release build, benchmark table;  make fuzz   long fuzzing runs
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

configure = cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(1) $(CMAKE_ARGS) >/dev/null

.PHONY: all build test check demo bench fuzz clean

all: build

build:
	@bash scripts/install-deps.sh build
	@$(call configure,-DCORVANE_BUILD_TESTS=OFF)
	@cmake --build $(BUILD) -j $(JOBS)

test:
	@bash scripts/install-deps.sh build test readers
	@$(call configure,-DCORVANE_BUILD_TESTS=ON)
	@cmake --build $(BUILD) -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

check: test
	@bash scripts/install-deps.sh check
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L slow
	@JOBS=$(JOBS) bash scripts/sanitize.sh
	@bash scripts/fuzz_smoke.sh

demo:
	@bash scripts/install-deps.sh build
	@$(call configure,-DCORVANE_BUILD_TESTS=OFF)
	@cmake --build $(BUILD) -j $(JOBS) --target corvane-make-sample meridel_cpython
	@bash scripts/demo.sh $(BUILD)

bench:
	@bash scripts/install-deps.sh build test bench
	@bash scripts/bench.sh

fuzz:
	@bash scripts/install-deps.sh build check
	@bash scripts/fuzz.sh

clean:
	rm -rf $(BUILD) build-*
