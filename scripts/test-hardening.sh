#!/usr/bin/env bash
# The tests once more under AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan), then each libFuzzer target for a bounded time (build-fuzz).
#
#   scripts/test-hardening.sh          both, each fuzz target for FUZZ_SECONDS (10)
#   scripts/test-hardening.sh fuzz     the fuzz targets only
#
# A fuzz target that finds a failing input stops the script; the input is
# left in build-fuzz/findings/<target>/ and belongs in fuzz/corpus/<target>/
# once the fault is mended, so that every later run tries it again.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
fuzz_seconds=${FUZZ_SECONDS:-10}
jobs=${JOBS:-2}

if [ "$what" = all ]; then
  # Clang, at -O1 with line tables: the sanitizers' own advice, and it
  # builds the tests in half the time GCC takes at -O2 with full debug
  # information; a report still names file and line.
  cmake -S . -B build-asan -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE= \
    -DCMAKE_CXX_FLAGS="-O1 -gline-tables-only -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" >/dev/null
  cmake --build build-asan -j "$jobs"
  # The concurrent and killed rounds measure the processes, not the code,
  # and two crashes in a row go through the same code as one: they run in
  # the plain build only. So does the run in a jail without /proc, where
  # the sanitizers' own runtime, which reads /proc, cannot work.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan -j "$jobs" --output-on-failure -E 'ConcurrentRuns|KilledRuns|TwoCrashesInARow|WithoutProc'
fi

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DLOGHARVEST_FUZZ=ON -DLOGHARVEST_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$jobs"
# Each target on one core, as many at a time as there are jobs.
fuzz() {
  local target=$1 findings=build-fuzz/findings/$1
  rm -rf "$findings"
  mkdir -p "$findings/new"
  # New inputs go to a scratch corpus; the kept corpus is only read.
  build-fuzz/fuzz/$target -max_total_time="$fuzz_seconds" -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$findings/new" "fuzz/corpus/$target" 2>"$findings/log" || {
    tail -40 "$findings/log"
    echo "$target: failing input kept in $findings/" >&2
    return 1
  }
  echo "$target: $(grep -o 'stat::number_of_executed_units: [0-9]*' "$findings/log" | grep -o '[0-9]*$') executions in ${fuzz_seconds} s, no failure"
}
targets=(log_reader_fuzz command_line_fuzz end_of_file_cut_fuzz list_tail_fuzz)
failed=0
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
  pids=()
  for target in "${targets[@]:i:jobs}"; do
    fuzz "$target" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
done
exit "$failed"
