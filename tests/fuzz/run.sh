#!/usr/bin/env bash
# Runs both fuzzers side by side for a bounded time, from the seed corpus under
# tests/fuzz/corpus. What they learn stays in the build directory, so the tree
# is never written; a crash leaves its input in BUILD/artifacts and fails the
# run: turn any such input into a regression test. An input may take seconds
# under the sanitizers (the mask harness resizes it on every path, twice), so
# only one past 30 s counts as a hang.
#
#   tests/fuzz/run.sh BUILD_DIR SECONDS
set -euo pipefail
build=$1 seconds=$2 here=$(cd "$(dirname "$0")" && pwd)
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
declare -A max_len=([mask]=4096 [audio]=16384) pid=()
mkdir -p "$build/artifacts"
for part in mask audio; do
  mkdir -p "$build/corpus-$part"
  "$build/ostrel_${part}_fuzzer" "$build/corpus-$part" "$here/corpus/$part" \
    -max_total_time="$seconds" -max_len="${max_len[$part]}" -rss_limit_mb=2048 -malloc_limit_mb=1024 \
    -timeout=30 -print_final_stats=1 -artifact_prefix="$build/artifacts/$part-" >"$build/$part.log" 2>&1 &
  pid[$part]=$!
done
status=0
for part in mask audio; do
  if wait "${pid[$part]}"; then
    echo "fuzz $part: $(awk '/^stat::number_of_executed_units/ {print $2}' "$build/$part.log") inputs in ${seconds}s, no finding"
  else
    status=1 && echo "fuzz $part: FAILED" >&2 && tail -60 "$build/$part.log" >&2
  fi
done
exit $status
