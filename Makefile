# Set-up, build and test from a fresh machine; CONTRIBUTING.md lists every
# command. Debian packages come through .ci/apt, the Python ones from PyPI as
# pyproject.toml declares them (.ci/requirements), the CMake builds from one
# configure line (`cmake` below) with the options of their purpose.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
# CI builds treat warnings as errors; the scripts and pip's builds read it too.
export OSTREL_WERROR := $(if $(CI),ON,OFF)
FUZZ_SECONDS ?= 600

.PHONY: all develop test cpp-test log10-test python-test fuzz fuzz-test sanitize-test compat-test \
        test-aarch64 test-wheel-x86_64 test-wheel-aarch64 bench bench-aarch64 demo dist clean
all: develop

# Re-run whenever the dependency lists change; pip skips what is already there.
$(VENV)/.stamp: pyproject.toml
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	.ci/requirements build test | $(PY) -m pip install -q -r /dev/stdin
	@touch $@

develop: $(VENV)/.stamp
	$(PY) -m pip install -q --no-build-isolation --no-deps .

# $(call cmake,NAME,TARGET...): configures build/NAME with the options of
# CMAKE_NAME and builds the targets given (all when none). GoogleTest is
# installed for every build: the module itself needs no Debian package.
MODULE := -DPython_EXECUTABLE=$(abspath $(PY))
CMAKE_cpp := -DOSTREL_PYTHON_MODULE=OFF -DOSTREL_CPP_TESTS=ON
CMAKE_fuzz := -DOSTREL_PYTHON_MODULE=OFF -DOSTREL_FUZZ=ON -DOSTREL_SANITIZE=ON -DCMAKE_CXX_COMPILER=clang++-16
CMAKE_asan := $(MODULE) -DOSTREL_SANITIZE=ON
CMAKE_bench := -DOSTREL_PYTHON_MODULE=OFF -DOSTREL_BENCHMARKS=ON
CMAKE_bench-sse2 := $(MODULE) -DCMAKE_CXX_FLAGS=-g
cmake = .ci/apt libgtest-dev && $(VENV)/bin/cmake -S . -B build/$(1) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
  -DOSTREL_WERROR=$(OSTREL_WERROR) $(CMAKE_$(1)) >/dev/null && $(VENV)/bin/cmake --build build/$(1) $(if $(2),--target $(2))

test: cpp-test log10-test python-test fuzz-test sanitize-test compat-test

cpp-test: $(VENV)/.stamp
	@echo "== cpp-test: building and running the C++ core tests (GoogleTest)"
	$(call cmake,cpp)
	cd build/cpp && ../../$(VENV)/bin/ctest --output-on-failure -j2

# A few minutes on 2 cores (CONTRIBUTING.md, How the log10 is tested).
log10-test: $(VENV)/.stamp
	@echo "== log10-test: the module's log10 of all 2^32 float inputs on every SIMD path, against an independent oracle"
	$(call cmake,cpp,ostrel_log10_exhaustive)
	build/cpp/ostrel_log10_exhaustive

python-test: develop
	@echo "== python-test: the pytest suite against the module in .venv"
	tests/suite.sh $(PY) $(VENV)

# The core's fuzzing harnesses under ASan and UBSan (clang), the mask one with
# a MessagePack library as its oracle. A long run: make fuzz FUZZ_SECONDS=3600.
fuzz: $(VENV)/.stamp
	.ci/apt clang-16 libclang-rt-16-dev libmsgpack-cxx-dev
	$(call cmake,fuzz)
	tests/fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

fuzz-test:
	@echo "== fuzz-test: libFuzzer on the mask and audio cores under ASan and UBSan, 60 s, silent until both end"
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=60

sanitize-test: $(VENV)/.stamp
	@echo "== sanitize-test: building the module with ASan and UBSan, then the pytest suite against it"
	$(call cmake,asan,ostrel_py)
	tests/sanitize.sh $(PY) build/asan

compat-test: develop
	@echo "== compat-test: the pytest suite on NumPy 1.26 and on the newest other CPython, each in a new environment"
	tests/compat.sh $(PY)

# The AArch64 run checks that it gives this build's numbers. As root, like all
# that enters a root file system (.ci/rootfs).
REFERENCE := build/reference-outputs.npz
test-aarch64: develop
	$(PY) tests/python/platform_outputs.py $(REFERENCE)
	.ci/rootfs arm64 test $(REFERENCE)

demo: develop
	.ci/requirements demo | $(PY) -m pip install -q -r /dev/stdin
	$(PY) examples/demo.py

# The release artefacts in dist/ (README, Platforms; CONTRIBUTING.md gives the
# chain): the sdist, and each platform's wheel built from it and tested as
# installed, its numbers compared bit for bit with this build's. The two
# platforms run side by side, each one's output shown when it ends. As root.
WHEEL_PYTHONS := 3.11 3.12 3.13
WHEEL_SYSTEMS := debian11 debian13 unstable
dist: develop
	rm -rf dist build/dist-wheel build/dist-test
	.ci/requirements dist tag | $(PY) -m pip install -q -r /dev/stdin
	$(PY) tests/python/platform_outputs.py $(REFERENCE)
	@echo "== dist: the sdist"
	$(PY) -m build --sdist -o dist .
	@echo "== dist: the x86_64 and AArch64 wheels, side by side; each one's output follows when it ends"
	$(MAKE) --no-print-directory -j2 --output-sync=target dist-x86_64 dist-aarch64
	@ls -l dist

dist-%:
	@echo "== dist: the $* wheel, built from the sdist with zig for glibc 2.28, then tested"
	.ci/zig-wheel $(PY) $* dist/ostrel_py-*.tar.gz build/dist-wheel
	$(MAKE) --no-print-directory test-wheel-$*

# auditwheel tags the AArch64 wheel in the root file system, where the
# machine is AArch64 as the wheel is.
test-wheel-aarch64:
	.ci/rootfs arm64 wheel build/dist-wheel/ostrel_py-*aarch64.whl $(REFERENCE)

test-wheel-x86_64:
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair --plat manylinux_2_28_x86_64 -w dist build/dist-wheel/*x86_64.whl
	$(VENV)/bin/auditwheel show dist/ostrel_py-*x86_64.whl
	@for version in $(WHEEL_PYTHONS); do \
	  python=$$(tests/find_python.sh $$version) || { echo "dist: no CPython $$version" >&2; exit 1; }; \
	  numpy=$$([ $$version = $(firstword $(WHEEL_PYTHONS)) ] && echo "numpy==1.26.*"); \
	  echo "== dist: the x86_64 wheel installed for CPython $$version $$numpy"; \
	  OSTREL_REFERENCE_OUTPUTS=$(abspath $(REFERENCE)) tests/wheel.sh $(VENV)/bin/pip \
	    "$$(ls dist/ostrel_py-*x86_64.whl)[test]" $$python build/dist-test/$$version $$numpy || exit 1; \
	done
	@failed=""; for system in $(WHEEL_SYSTEMS); do \
	  echo "== dist: the x86_64 wheel installed in a $$system root file system"; \
	  .ci/rootfs $$system wheel dist/ostrel_py-*x86_64.whl $(REFERENCE) || failed="$$failed $$system"; \
	done; [ -z "$$failed" ] || { echo "dist: the x86_64 wheel failed on$$failed" >&2; exit 1; }
	@echo "== dist: a wheel from the sdist with Debian 13's GCC, Python headers and nothing else"
	.ci/rootfs debian13 sdist dist/ostrel_py-*.tar.gz

# Google Benchmark and FFTW (GPL, a baseline, never linked into the module)
# for the benchmarks only. NumPy runs the OpenBLAS kernel it picks itself
# (benchmarks/README.md). QUICK=1: fewer cases, each timed for less long.
bench: develop
	.ci/apt libbenchmark-dev libfftw3-dev
	.ci/requirements bench | $(PY) -m pip install -q -r /dev/stdin
	$(call cmake,bench)
	build/bench/ostrel_floor_bench --benchmark_out=build/bench/floor.json --benchmark_out_format=json
	build/bench/ostrel_paths_bench $(if $(QUICK),--quick) >build/bench/paths.json
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) benchmarks/bench.py --floor build/bench/floor.json \
	  --paths build/bench/paths.json $(if $(QUICK),--quick)

# Instructions per warm call on AArch64 and of the SSE2 path, under qemu
# (benchmarks/README.md), as root. Debug information names the function of
# every instruction and leaves the code as it is. BENCH_AARCH64_OPTIONS
# goes to benchmarks/bench_aarch64.py ("--cases audio", say).
bench-aarch64: develop
	$(call cmake,bench-sse2,ostrel_py)
	OSTREL_BENCH_OPTIONS="$(BENCH_AARCH64_OPTIONS)" \
	  .ci/rootfs arm64 bench build/bench-sse2/ostrel_py.abi3.so

clean:
	rm -rf build dist $(VENV)
