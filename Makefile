# Front door: `make test` and `make demo` install what is missing, build and run.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps configure build test demo bench fuzz clean

all: build

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@JOBS=$(JOBS) bash scripts/sanitize.sh
	@bash scripts/fuzz_smoke.sh

demo: build
	@bash scripts/demo.sh $(BUILD)

bench: deps
	@bash scripts/bench.sh

fuzz: deps
	@bash scripts/fuzz.sh

clean:
	rm -rf $(BUILD) build-*
