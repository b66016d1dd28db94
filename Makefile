# Top-level convenience targets. `make demo` and `make test` work on a fresh
# Debian machine as root: they install what is missing, build and run.
JOBS      ?= $(shell nproc)
BUILD     ?= build
ASANBUILD ?= build-asan
TSANBUILD ?= build-tsan
PREFIX    ?= /usr/local

.PHONY: all deps build install build-asan build-tsan demo test test-plain test-asan test-tsan bench bench-settings bench-monitor clean

all: build

deps:
	./scripts/install-deps.sh

# The plain build is optimised as a packager builds the library (Release,
# -O3), with debug information, so that the tests run on the code users get.
RELEASE_FLAGS = -O3 -DNDEBUG -g

define compile
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_C_FLAGS_RELEASE="$(RELEASE_FLAGS)" -DCMAKE_CXX_FLAGS_RELEASE="$(RELEASE_FLAGS)"
	cmake --build $(BUILD) -j $(JOBS)
endef

build: deps
	$(compile)

# Builds and writes only under $(PREFIX) (below $(DESTDIR), when set);
# installs no packages.
install:
	$(compile)
	cmake --install $(BUILD) --prefix $(PREFIX)

build-asan: deps
	cmake -S . -B $(ASANBUILD) -DCMAKE_BUILD_TYPE=Debug -DZELK_SANITIZE=ON
	cmake --build $(ASANBUILD) -j $(JOBS)

# Only the tests that run threads are discovered in this build (suites with
# "Threaded" in their name, and every monitor test).
build-tsan: deps
	cmake -S . -B $(TSANBUILD) -DCMAKE_BUILD_TYPE=Debug -DZELK_TSAN=ON -DZELK_BENCH=OFF
	cmake --build $(TSANBUILD) -j $(JOBS)

demo: build
	./$(BUILD)/linsolve_demo

test-plain: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ctest --test-dir $(ASANBUILD) --output-on-failure -j $(JOBS)

test-tsan: build-tsan
	ctest --test-dir $(TSANBUILD) --output-on-failure -j $(JOBS)

test: test-plain test-asan test-tsan

bench: build
	./$(BUILD)/bench/zelk_bench

# The README's tables of zelk's settings, measured (counts, not times).
bench-settings: build
	OPENBLAS_CORETYPE=$$(grep -qw avx2 /proc/cpuinfo && echo Haswell) ./$(BUILD)/bench/zelk_settings

# Throughput of the monitor under wrk (not a test).
bench-monitor: build
	./bench/monitor_wrk.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASANBUILD) $(TSANBUILD)
