# Front door. `make demo` and `make test` do all set-up on a fresh machine.
# PYTHON=/path/to/python3.14 uses that interpreter instead of the private toolchain.
BUILD ?= build
WERROR ?= ON
JOBS ?= 2
CMAKE_FLAGS ?=
PYTEST_FLAGS ?=
BENCH_BUILD ?= build-bench
BENCH_FLAGS ?=

python = $$(bash tools/bootstrap-python.sh)

.PHONY: all deps build test test-cpp test-python bench demo clean

all: build

deps:
	@bash tools/install-build-deps.sh

build: deps
	@py=$(python) && cmake -S . -B $(BUILD) -G Ninja -DTAVIX_WERROR=$(WERROR) -DPython_EXECUTABLE=$$py $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build test-cpp test-python

test-cpp:
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-python:
	@py=$(python) && TAVIX_MODULE_DIR=$(CURDIR)/$(BUILD)/bindings $$py -m pytest -q $(PYTEST_FLAGS)

# Micro-benchmarks in an optimised tree of their own (library and benchmarks only).
bench: deps
	@cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVIX_WERROR=$(WERROR) \
		-DTAVIX_BUILD_BENCHMARKS=ON -DTAVIX_BUILD_TESTS=OFF -DTAVIX_BUILD_PYTHON=OFF >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target tavix_benchmarks
	@$(BENCH_BUILD)/benchmarks/tavix_benchmarks $(BENCH_FLAGS)

demo: build
	@py=$(python) && PYTHONPATH=$(CURDIR)/$(BUILD)/bindings $$py examples/quick_look.py

clean:
	rm -rf $(BUILD)
