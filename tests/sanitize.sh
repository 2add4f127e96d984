#!/usr/bin/env bash
# Runs the Python suite against the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer in BUILD_DIR (make sanitize-test builds it).
#
#   tests/sanitize.sh PYTHON BUILD_DIR
#
# The interpreter was not built with the sanitizers, so their runtime is
# preloaded, with the C++ library, without which C++ throws go unseen.
# PYTHONMALLOC=malloc puts every Python object under watch, so a reference
# dropped once too often shows as a use after free. Leak detection is off: the
# interpreter and NumPy keep memory until exit by design
# (tests/python/test_resources.py covers the module's leaks). OSTREL_SANITIZED
# tells the suite that an impossible operator new ends the process here.
set -euo pipefail
python=$1 build=$2
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
runtime=$("$cxx" -print-file-name=libasan.so)
[ -e "$runtime" ] || { echo "sanitize-test: $cxx has no libasan.so to preload (GCC's is expected)" >&2; exit 1; }
LD_PRELOAD="$runtime $("$cxx" -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc PYTHONPATH=$build OSTREL_SANITIZED=1 \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:halt_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  exec tests/suite.sh "$python" "$build"
