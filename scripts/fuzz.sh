#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, with clang-14, AddressSanitizer and
# UBSan) and runs each for a given time. Any crash, sanitizer report, broken
# property, leak, timeout or out-of-memory is a finding: its input is kept
# under fuzz/regressions/<target>/ (replayed by tests_robust from then
# on) and the script exits non-zero after running the remaining targets.
#
#   scripts/fuzz.sh [--seconds N] [--target NAME]... [--build-dir DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
build=build/fuzz
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --target) targets+=("$2"); shift 2 ;;
    --build-dir) build="$2"; shift 2 ;;
    *) echo "usage: $0 [--seconds N] [--target NAME]... [--build-dir DIR]" >&2; exit 2 ;;
  esac
done

if [ ! -f "$build/build.ninja" ]; then
  cmake -S fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
fi
cmake --build "$build" -j "$(nproc)"

if [ ${#targets[@]} -eq 0 ]; then
  for f in fuzz/targets/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
failed=()
for t in "${targets[@]}"; do
  # The corpus grown by a run stays in the build directory; the seeds in
  # the repository are read, never written.
  work="$build/corpus/$t"
  mkdir -p "$work" "fuzz/regressions/$t"
  echo "== fuzz $t for ${seconds}s"
  if ! "$build/fuzz_$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2560 \
      -max_len=16384 -print_final_stats=1 -artifact_prefix="fuzz/regressions/$t/" \
      "$work" "fuzz/corpus/$t" >"$build/fuzz_$t.log" 2>&1; then
    failed+=("$t")
    echo "!! $t: finding kept in fuzz/regressions/$t/ (log: $build/fuzz_$t.log)"
    grep -E "ERROR|SUMMARY|property broken|runtime error" "$build/fuzz_$t.log" | head -5 || true
  else
    grep -E "^stat::number_of_executed_units|^#[0-9]+.*DONE" "$build/fuzz_$t.log" | tail -1 || true
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets ran ${seconds}s each without a finding"
