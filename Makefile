# Set-up, build and test from a fresh machine; CONTRIBUTING.md lists every
# command. Debian packages come through .ci/apt, the Python ones from PyPI as
# pyproject.toml declares them (.ci/requirements), the CMake builds from one
# configure (.ci/cmake) with the options of their purpose.

PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
# CI builds treat warnings as errors; the scripts and pip's builds read it too.
export OSTREL_WERROR := $(if $(CI),ON,OFF)
FUZZ_SECONDS ?= 600

.PHONY: all develop test cpp-test log10-test python-test fuzz fuzz-test sanitize-test compat-test \
        test-aarch64 test-wheel-x86_64 test-wheel-aarch64 test-wheel-x86_64-musl test-wheel-aarch64-musl \
        test-wheel-x86_64-freethreaded test-wheel-aarch64-freethreaded tsan-test bench bench-sweep bench-aarch64 demo dist clean
all: develop

# Re-run whenever the dependency lists change; pip skips what is already there.
$(VENV)/.stamp: pyproject.toml
	test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	.ci/requirements build test | $(PY) -m pip install -q -r /dev/stdin
	@touch $@

develop: $(VENV)/.stamp
	$(PY) -m pip install -q --no-build-isolation --no-deps .

# $(call cmake,NAME,ARGUMENTS): .ci/cmake on build/NAME with the options of
# CMAKE_NAME and the tools of .venv. GoogleTest is installed for every build:
# the module itself needs no Debian package.
MODULE := -DPython_EXECUTABLE=$(abspath $(PY))
CMAKE_cpp := -DOSTREL_PYTHON_MODULE=OFF -DOSTREL_CPP_TESTS=ON
CMAKE_fuzz := -DOSTREL_PYTHON_MODULE=OFF -DOSTREL_FUZZ=ON -DOSTREL_SANITIZE=ON -DCMAKE_CXX_COMPILER=clang++-16
CMAKE_asan := $(MODULE) -DOSTREL_SANITIZE=ON
CMAKE_bench := -DOSTREL_PYTHON_MODULE=OFF -DOSTREL_BENCHMARKS=ON
CMAKE_debug-module := $(MODULE) -DCMAKE_CXX_FLAGS=-g
CMAKE_sweep-tree := $(MODULE)
cmake = .ci/apt libgtest-dev && PATH="$(abspath $(VENV))/bin:$$PATH" .ci/cmake build/$(1) $(2) $(CMAKE_$(1))

test: cpp-test log10-test python-test fuzz-test sanitize-test compat-test

cpp-test: $(VENV)/.stamp
	@echo "== cpp-test: building and running the C++ core tests (GoogleTest)"
	$(call cmake,cpp,--test)

# A few minutes on 2 cores (CONTRIBUTING.md, How the log10 is tested).
log10-test: $(VENV)/.stamp
	@echo "== log10-test: the module's log10 of all 2^32 float inputs on every SIMD path, against an independent oracle"
	$(call cmake,cpp,--target ostrel_log10_exhaustive)
	build/cpp/ostrel_log10_exhaustive

# objdump (binutils) lets the suite check the module's imports.
python-test: develop
	@echo "== python-test: the pytest suite against the module in .venv"
	.ci/apt binutils
	.ci/suite run $(PY) $(VENV)

# The core's fuzzing harnesses under ASan and UBSan (clang), the mask one with
# a MessagePack library as its oracle. A long run: make fuzz FUZZ_SECONDS=3600.
fuzz-test: FUZZ_SECONDS = 60
fuzz fuzz-test: $(VENV)/.stamp
	@echo "== $@: libFuzzer on the mask and audio cores under ASan and UBSan, $(FUZZ_SECONDS) s, silent until both end"
	.ci/apt clang-16 libclang-rt-16-dev libmsgpack-cxx-dev
	$(call cmake,fuzz)
	tests/fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

# The suite against the module built with ASan and UBSan. The interpreter was
# not built with them, so their runtime is preloaded, with the C++ library,
# without which C++ throws go unseen. PYTHONMALLOC=malloc puts every Python
# object under watch, so a reference dropped once too often shows as a use
# after free. Leak detection is off: the interpreter and NumPy keep memory
# until exit by design (tests/python/test_resources.py covers the module's
# leaks). OSTREL_SANITIZED tells the suite that an impossible operator new
# ends the process here.
sanitize-test: $(VENV)/.stamp
	@echo "== sanitize-test: building the module with ASan and UBSan, then the pytest suite against it"
	$(call cmake,asan,--target ostrel_py)
	cxx=$$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/asan/CMakeCache.txt) && \
	  runtime=$$($$cxx -print-file-name=libasan.so) && [ -e "$$runtime" ] && \
	  LD_PRELOAD="$$runtime $$($$cxx -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc PYTHONPATH=build/asan \
	  OSTREL_SANITIZED=1 ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:halt_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 .ci/suite run $(PY) build/asan

compat-test: develop
	@echo "== compat-test: the pytest suite on NumPy 1.26 and on the newest other CPython, each in a new environment"
	.ci/suite compat $(PY)

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
# installed, its numbers compared bit for bit with this build's. As root. The
# platforms run two at a time, the longest chains first, each one's output
# shown when it ends: make runs targets side by side only when told so, hence
# the make within. The x86_64 musl and free-threaded tests make the root file
# systems whose CPythons the AArch64 ones run, so each comes first in its
# chain instead of waiting beside it.
WHEEL_PYTHONS := 3.11 3.12 3.13
WHEEL_SYSTEMS := debian11 debian13 unstable
DIST_TESTS := test-wheel-aarch64-musl test-wheel-aarch64-freethreaded test-wheel-aarch64 test-wheel-x86_64
X86_64_WHEEL := build/dist-wheel/x86_64-tagged/*.whl
dist: develop
	rm -rf dist build/dist-wheel build/dist-test
	.ci/requirements dist tag | $(PY) -m pip install -q -r /dev/stdin
	$(PY) tests/python/platform_outputs.py $(REFERENCE)
	@echo "== dist: the sdist"
	$(PY) -m build --sdist -o dist .
	@echo "== dist: the wheels, two platforms at a time; each one's output follows when it ends"
	$(MAKE) --no-print-directory -j2 --output-sync=target $(DIST_TESTS)
	@ls -l dist

# build/dist-wheel/PLATFORM: zig's wheel, untagged (.ci/zig-wheel).
wheel-%:
	@echo "== dist: the $* wheel, built from the sdist with zig, then tested"
	.ci/zig-wheel $(PY) $* dist/ostrel_py-*.tar.gz build/dist-wheel/$*

# auditwheel tags the AArch64 and musl wheels in a root file system whose C
# library and architecture are the wheel's.
test-wheel-aarch64: wheel-aarch64
	.ci/rootfs arm64 wheel build/dist-wheel/aarch64/*.whl $(REFERENCE)

test-wheel-aarch64-musl: test-wheel-x86_64-musl wheel-aarch64-musl
	.ci/rootfs arm64-musl wheel build/dist-wheel/aarch64-musl/*.whl $(REFERENCE)

test-wheel-x86_64-musl: wheel-x86_64-musl
	.ci/rootfs musl wheel build/dist-wheel/x86_64-musl/*.whl $(REFERENCE)

# A wheel for each free-threaded CPython of .ci/rootfs's freethreaded root
# file system, built with it there; the sdist built and tested there too.
wheel-%-freethreaded:
	@echo "== dist: the $* wheels for free-threaded CPythons, built from the sdist with zig, then tested"
	.ci/rootfs freethreaded zig-wheel $* dist/ostrel_py-*.tar.gz build/dist-wheel/$*-freethreaded

test-wheel-aarch64-freethreaded: test-wheel-x86_64-freethreaded wheel-aarch64-freethreaded
	for wheel in build/dist-wheel/aarch64-freethreaded/*.whl; do \
	  .ci/rootfs arm64-freethreaded wheel $$wheel $(REFERENCE) || exit 1; \
	done

test-wheel-x86_64-freethreaded: wheel-x86_64-freethreaded
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair --plat manylinux_2_28_x86_64 \
	  -w build/dist-wheel/x86_64-freethreaded-tagged build/dist-wheel/x86_64-freethreaded/*.whl
	for wheel in build/dist-wheel/x86_64-freethreaded-tagged/*.whl; do \
	  $(VENV)/bin/auditwheel show $$wheel && .ci/rootfs freethreaded wheel $$wheel $(REFERENCE) || exit 1; \
	done
	mv build/dist-wheel/x86_64-freethreaded-tagged/*.whl dist/
	.ci/rootfs freethreaded sdist dist/ostrel_py-*.tar.gz $(REFERENCE)

# The wheel also runs on a CPU without AVX (qemu's Nehalem), where the module
# takes its baseline path: its numbers must be the wide path's of this machine.
test-wheel-x86_64: wheel-x86_64
	PATH="$(abspath $(VENV))/bin:$$PATH" auditwheel repair --plat manylinux_2_28_x86_64 -w build/dist-wheel/x86_64-tagged \
	  build/dist-wheel/x86_64/*.whl
	$(VENV)/bin/auditwheel show $(X86_64_WHEEL)
	@for version in $(WHEEL_PYTHONS); do \
	  python=$$(.ci/suite python $$version) || { echo "dist: no CPython $$version" >&2; exit 1; }; \
	  numpy=$$([ $$version = $(firstword $(WHEEL_PYTHONS)) ] && echo "numpy==1.26.*"); \
	  echo "== dist: the x86_64 wheel installed for CPython $$version $$numpy"; \
	  OSTREL_REFERENCE_OUTPUTS=$(abspath $(REFERENCE)) .ci/suite wheel $(VENV)/bin/pip \
	    "$$(ls $(X86_64_WHEEL))[test]" $$python build/dist-test/$$version $$numpy || exit 1; \
	done
	@echo "== dist: the x86_64 wheel on a CPU without AVX, under qemu-x86_64 -cpu Nehalem"
	.ci/apt qemu-user-static
	OSTREL_REFERENCE_OUTPUTS=$(abspath $(REFERENCE)) .ci/suite run "qemu-x86_64-static -cpu Nehalem \
	  build/dist-test/$(firstword $(WHEEL_PYTHONS))/bin/python" build/dist-test tests/python/test_cross_platform.py
	@failed=""; for system in $(WHEEL_SYSTEMS); do \
	  echo "== dist: the x86_64 wheel installed in a $$system root file system"; \
	  .ci/rootfs $$system wheel $(X86_64_WHEEL) $(REFERENCE) || failed="$$failed $$system"; \
	done; [ -z "$$failed" ] || { echo "dist: the x86_64 wheel failed on$$failed" >&2; exit 1; }
	@echo "== dist: a wheel from the sdist with Debian 13's GCC, Python headers and nothing else"
	.ci/rootfs debian13 sdist dist/ostrel_py-*.tar.gz $(REFERENCE)
	mv $(X86_64_WHEEL) dist/

# tests/python/test_threads.py under ThreadSanitizer, on CPython 3.13 without
# the GIL built with it, the module built with it too (.ci/rootfs tsan), as
# root. The address space is laid out without randomisation, which the
# sanitizer's fixed shadow memory needs on recent kernels. Not part of CI.
tsan-test: $(VENV)/.stamp
	.ci/rootfs tsan develop env TSAN_OPTIONS=halt_on_error=1 setarch -R python -m pytest tests/python/test_threads.py

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
	@echo "== bench: calls on 1, 2 and every core's threads, on the free-threaded CPython of .ci/rootfs (as root)"
	.ci/rootfs freethreaded develop python benchmarks/threads.py $(if $(QUICK),--quick)

# The regression sweep (benchmarks/sweep.py): this tree's module and BASE's,
# each built from its own sources with CMake, timed and compared bit for bit
# on a few hundred seeded random masks. Not part of CI.
# Each base commit is unpacked and built in a folder of its own.
BASE ?= HEAD
SWEEP = build/sweep/$(shell git rev-parse --short "$(BASE)")
bench-sweep: $(VENV)/.stamp
	@echo "== bench-sweep: the tree against $(BASE), built beside it in $(SWEEP)"
	$(call cmake,sweep-tree,--target ostrel_py)
	test -e $(SWEEP)/src || { mkdir -p $(SWEEP)/src && git archive "$(BASE)" | tar -x -C $(SWEEP)/src; }
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake -S $(SWEEP)/src -B $(SWEEP)/build -G Ninja $(MODULE) >/dev/null
	PATH="$(abspath $(VENV))/bin:$$PATH" cmake --build $(SWEEP)/build --target ostrel_py
	env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE $(PY) benchmarks/sweep.py build/sweep-tree/ostrel_py*.so \
	  $(SWEEP)/build/ostrel_py*.so $(if $(SHAPES),--shapes $(SHAPES))

# Instructions per warm call on AArch64 and, under qemu's CPU without AVX, of
# this machine's module on its baseline path (benchmarks/README.md), as
# root. Debug information names the function of every instruction and leaves
# the code as it is. BENCH_AARCH64_OPTIONS goes to benchmarks/bench_aarch64.py
# ("--cases audio", say).
bench-aarch64: develop
	$(call cmake,debug-module,--target ostrel_py)
	OSTREL_BENCH_OPTIONS="$(BENCH_AARCH64_OPTIONS)" \
	  benchmarks/aarch64 build/debug-module/ostrel_py.abi3.so

clean:
	rm -rf build dist $(VENV)
