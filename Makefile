# Front door. `make demo` and `make test` do all set-up on a fresh machine.
# PYTHON=/path/to/python3.14 uses that interpreter instead of the private toolchain.
BUILD ?= build
WERROR ?= ON
JOBS ?= 2
CMAKE_FLAGS ?=
PYTEST_FLAGS ?=
BENCH_BUILD ?= build-bench
BENCH_FLAGS ?=
ROUNDTRIP_FLAGS ?=

python = $$(bash tools/bootstrap-python.sh)

.PHONY: all deps configure build test test-cpp test-python bench demo stubtest install-check clean

all: build

deps:
	@bash tools/install-build-deps.sh

configure: deps
	@py=$(python) && cmake -S . -B $(BUILD) -G Ninja -DTAVIX_WERROR=$(WERROR) -DPython_EXECUTABLE=$$py $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build test-cpp test-python

test-cpp:
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The tests find the checkout's python/ and the built module through conftest.py; the tests
# and the demo find the simulator just built through TAVIX_DEVSIM.
devsim = $(CURDIR)/$(BUILD)/simulator/tavix-devsim

test-python:
	@py=$(python) && TAVIX_MODULE_DIR=$(CURDIR)/$(BUILD)/bindings TAVIX_DEVSIM=$(devsim) $$py -m pytest -q $(PYTEST_FLAGS)

# Micro-benchmarks, then the round-trip table (ROUNDTRIP_FLAGS: --exchanges N, --rounds R,
# --spin), the servo loop's jitter beside a busy Python thread and, where CycloneDDS is found,
# tavix-bridge's latencies across a veth pair beside DDS's own (root), in an optimised tree of
# their own.
bench: deps
	@py=$(python) && cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAVIX_WERROR=$(WERROR) \
		-DTAVIX_BUILD_BENCHMARKS=ON -DTAVIX_BUILD_TESTS=OFF -DPython_EXECUTABLE=$$py >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target tavix_benchmarks TavixHardwareAPI tavix_roundtrip tavix-bench-responder tavix-wake-latency
	@$(BENCH_BUILD)/benchmarks/tavix_benchmarks $(BENCH_FLAGS)
	@py=$(python) && PYTHONPATH=$(BENCH_BUILD)/bindings $$py benchmarks/roundtrip/compare.py $(BENCH_BUILD) $(ROUNDTRIP_FLAGS)
	@py=$(python) && PYTHONPATH=$(BENCH_BUILD)/bindings $$py benchmarks/servo_jitter.py $(BENCH_BUILD) --device-nice -10
	@if ninja -C $(BENCH_BUILD) -t targets all | grep -q '^tavix-bridge-peer:'; then \
		cmake --build $(BENCH_BUILD) -j $(JOBS) --target tavix-bridge tavix-bridge-peer tavix-devsim && \
		py=$(python) && PYTHONPATH=$(BENCH_BUILD)/bindings $$py benchmarks/bridge_latency.py $(BENCH_BUILD); \
	else echo "Bridge latency: skipped (CycloneDDS not found, so tavix-bridge is not built)"; fi

# `tavix demo` from the checkout: the package in python/, the module and simulator just built
# (only those two targets: the tests and fuzz targets are not needed for it).
demo: configure
	@cmake --build $(BUILD) -j $(JOBS) --target TavixHardwareAPI tavix-devsim
	@py=$(python) && PYTHONPATH=$(CURDIR)/python:$(CURDIR)/$(BUILD)/bindings TAVIX_DEVSIM=$(devsim) \
		$$py -m tavix_tools demo --plot $(BUILD)/demo/haptic_demo.png

# The typed interface (bindings/TavixHardwareAPI.pyi, copied beside the built module) against
# the module itself, then the calls of tests/typing against the typed interface.
stubtest: build
	@py=$(python) && cd $(BUILD)/bindings && MYPYPATH=. PYTHONPATH=. $$py -m mypy.stubtest TavixHardwareAPI
	@py=$(python) && MYPYPATH=$(BUILD)/bindings $$py -m mypy --strict --cache-dir $(BUILD)/.mypy_cache tests/typing

# The Python distribution as a user gets it: builds the wheel, installs it into a new virtual
# environment and checks the installed module, its typed interface, `tavix` and the simulator.
install-check: deps
	@py=$(python) && PYTHONPATH=$(CURDIR)/tests/python $$py tests/install/check_wheel.py $(BUILD)/install-check

# Hardening: the C++ tests under sanitizers and valgrind, and the fuzz targets (clang 14).
CLANGXX ?= clang++-14
CLANGCC ?= clang-14
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
SMOKE_SECONDS ?= 20
comma = ,
# Configures and builds one clang tree without the Python module (C too: the bridge's generated
# message types are C, and the sanitizer runtimes must be clang's for every object):
# $(1) build folder, $(2) sanitizers, $(3) further CMake flags.
clang_build = cmake -S . -B $(1) -G Ninja -DCMAKE_CXX_COMPILER=$(CLANGXX) -DCMAKE_C_COMPILER=$(CLANGCC) -DTAVIX_WERROR=$(WERROR) \
	-DTAVIX_BUILD_PYTHON=OFF -DTAVIX_SANITIZE=$(2) $(3) >/dev/null && cmake --build $(1) -j $(JOBS)

.PHONY: deps-hardening faults sanitize tsan valgrind fuzz fuzz-smoke

deps-hardening:
	@bash tools/install-build-deps.sh hardening

# The fault scenarios (also part of `make test`) as a table: bound, measured time, fallback.
faults: build
	@printf '| Scenario | Bound | Measured | Fallback |\n|---|---|---|---|\n'
	@$(BUILD)/tests/tavix_fault_tests --gtest_brief=1

sanitize: deps-hardening
	@$(call clang_build,build-asan,address$(comma)undefined)
	UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan --output-on-failure -j $(JOBS)

tsan: deps-hardening
	@$(call clang_build,build-tsan,thread)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

# The shipping build (g++, no instrumentation) under memcheck: it adds what AddressSanitizer
# and UndefinedBehaviorSanitizer cannot see, reads of uninitialised memory. Valgrind runs one
# thread at a time; its default lock lets a spinning thread starve a thread that polls the line
# (a probe then misses its wait limit), so the fair ticket lock is used.
memcheck = valgrind --fair-sched=yes --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect -q

valgrind: build deps-hardening
	$(memcheck) $(BUILD)/tests/tavix_tests --gtest_brief=1
	$(memcheck) $(BUILD)/tests/tavix_fault_tests --gtest_brief=1
	@while read -r target; do \
		$(memcheck) --log-fd=1 $(BUILD)/fuzz/$${target}_replay tests/fuzz-corpus/$$target 2>/dev/null || exit 1; \
	done <$(BUILD)/fuzz/targets.txt

fuzz: deps-hardening
	@$(call clang_build,$(FUZZ_BUILD),address$(comma)undefined,-DTAVIX_BUILD_TESTS=OFF -DTAVIX_BUILD_FUZZERS=ON)
	@bash fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

fuzz-smoke:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(SMOKE_SECONDS)

clean:
	rm -rf $(BUILD) build-asan build-tsan $(FUZZ_BUILD) $(BENCH_BUILD)
