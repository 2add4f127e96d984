#!/usr/bin/env bash
# Runs the Python suite against the module built with AddressSanitizer and
# UndefinedBehaviorSanitizer in BUILD_DIR (make sanitize-test builds it).
#
# The sanitizer runtime is preloaded into the interpreter, which was not built
# with it. Leak detection is off: the interpreter and NumPy keep memory until
# exit by design; tests/python/test_resources.py covers the module's leaks.
# PYTHONMALLOC=malloc puts every Python object under the sanitizer's watch, so a
# reference dropped once too often shows up as a use after free.
#
#   tests/sanitize.sh PYTHON BUILD_DIR
set -euo pipefail
python=$1
build=$(cd "$2" && pwd)

cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build/CMakeCache.txt")
runtime=$("$cxx" -print-file-name=libasan.so)
if [ ! -e "$runtime" ]; then
  echo "sanitize-test: $cxx has no libasan.so to preload (GCC's runtime is expected)" >&2
  exit 1
fi

# libstdc++ is preloaded too: the runtime intercepts C++ throws only when the
# C++ library is present at start, and the interpreter itself is C.
export LD_PRELOAD="$runtime $("$cxx" -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
export PYTHONPATH=$build
# Tells the suite that impossible allocations made with operator new end the
# process under the sanitizer instead of throwing.
export OSTREL_SANITIZED=1

exec tests/suite.sh "$python" "$build"
