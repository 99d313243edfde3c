# Front door for building and testing. `make test` is the one command that
# installs what is missing, configures, builds and runs every test; CI runs it.
# `make check` is its quick part: the plain build and its tests, without the
# sanitizer builds and the fuzz run. `make run` installs only what building
# and running need; the tests' packages come with `make check` and `make test`.
BUILD ?= build
JOBS ?= 2

.PHONY: all build-deps deps configure build check test hardening run install clean bench compare

all: build

# scripts/install-deps.sh installs what is missing of the build's packages;
# deps adds the tests' and DEPS_ARGS (make test: the hardening's).
build-deps:
	bash scripts/install-deps.sh

deps:
	bash scripts/install-deps.sh --tests $(DEPS_ARGS)

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: configure
	cmake --build $(BUILD) -j $(JOBS)

check: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test: DEPS_ARGS = --hardening
test: check
	$(MAKE) hardening

# Sanitizers and fuzzing (README "Hardening"): the whole suite under
# ASan+UBSan+LSan, the concurrency tests under TSan, a fixed short fuzz run.
FUZZ_RUNS ?= 2000
hardening:
	cmake --preset asan && cmake --build --preset asan && ctest --preset asan
	cmake --preset tsan && cmake --build --preset tsan && ctest --preset tsan
	bash scripts/fuzz.sh --runs $(FUZZ_RUNS)

# The demo: the example recording's chapters as a table, then cut into
# out/example, replacing the chapters of an earlier run.
RUN_OUT ?= out/example
run: build-deps configure
	cmake --build $(BUILD) -j $(JOBS) --target silsplit
	$(BUILD)/cli/silsplit analyze --format table examples/audio/talk.wav
	$(BUILD)/cli/silsplit split --overwrite examples/audio/talk.wav $(RUN_OUT)

# Benchmarks, in their own Release build folder; neither is run by CI.
# bench: the stages' micro-benchmarks (Google Benchmark, libbenchmark-dev).
# compare: silsplit against ffmpeg, sox and the read floor on generated files.
BENCH_BUILD ?= build-bench

bench:
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target stages_bench
	$(BENCH_BUILD)/bench/stages_bench $(BENCH_ARGS)

compare:
	BUILD=$(BENCH_BUILD) bash bench/compare.sh

install: build
	cmake --install $(BUILD) $(if $(PREFIX),--prefix $(PREFIX),)

clean:
	rm -rf $(BUILD)
