# Top-level convenience targets. `make demo` and `make test` work on a fresh
# Debian machine as root: they install what is missing, build and run.
JOBS      ?= $(shell nproc)
BUILD     ?= build
ASANBUILD ?= build-asan

.PHONY: all deps build build-asan demo test test-plain test-asan bench clean

all: build

deps:
	./scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(ASANBUILD) -DCMAKE_BUILD_TYPE=Debug -DZELK_SANITIZE=ON
	cmake --build $(ASANBUILD) -j $(JOBS)

demo: build
	./$(BUILD)/linsolve_demo

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ctest --test-dir $(ASANBUILD) --output-on-failure -j $(JOBS)

test: test-plain test-asan

bench: build
	./$(BUILD)/bench/zelk_bench

clean:
	rm -rf $(BUILD) $(ASANBUILD)
