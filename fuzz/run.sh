#!/usr/bin/env bash
# Builds the fuzz targets with clang, writes the seed corpus and runs every
# target for SECONDS seconds (default 60). Exits non-zero when a target finds
# anything: a crash, a sanitizer report, a leak or a timeout.
#
#   fuzz/run.sh [SECONDS]
#
# Environment: BUILD_DIR (default build-fuzz), WORK_DIR (default
# $BUILD_DIR/fuzz-work: corpora, seeds, logs and any crash inputs),
# JOBS (build parallelism).
set -uo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
case $seconds in
  ''|*[!0-9]*) echo "usage: fuzz/run.sh [SECONDS]" >&2; exit 2 ;;
esac
build=${BUILD_DIR:-build-fuzz}
work=${WORK_DIR:-$build/fuzz-work}
jobs=${JOBS:-$(nproc 2>/dev/null || echo 2)}

echo "== build ($build)"
CXX=${CXX:-clang++} cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVARNEK_FUZZ=ON -DVARNEK_TESTS=OFF -DVARNEK_BENCH=OFF >/dev/null || exit 1
cmake --build "$build" -j"$jobs" --target fuzz_packets fuzz_run fuzz_undo fuzz-seeds || exit 1

echo "== seeds"
rm -rf "$work/seeds"
mkdir -p "$work"
"$build/fuzz/fuzz-seeds" "$work/seeds" || exit 1

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}

status=0
for target in fuzz_packets fuzz_run fuzz_undo; do
  corpus="$work/corpus/$target"
  artifacts="$work/artifacts/$target/"
  log="$work/$target.log"
  rm -rf "$artifacts"
  mkdir -p "$corpus" "$artifacts"
  case $target in
    fuzz_run) extra=(-max_len=600000 -rss_limit_mb=2048) ;;
    fuzz_undo) extra=(-max_len=16384 -rss_limit_mb=2048) ;;  # a few writes of three packets each
    *) extra=(-max_len=8192 -rss_limit_mb=2048) ;;  # 43 packets: more than the 32 table rows
  esac
  echo "== $target for ${seconds}s (log: $log)"
  "$build/fuzz/$target" "${extra[@]}" -timeout=10 -max_total_time="$seconds" \
    -print_final_stats=1 -artifact_prefix="$artifacts" \
    "$corpus" "$work/seeds/$target" >"$log" 2>&1
  rc=$?
  # The last status line carries the executions, the coverage and the features.
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  echo "   last: $last"
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added|peak_rss_mb)' "$log" \
    | sed 's/^/   /'
  findings=$(ls -A "$artifacts" 2>/dev/null)
  if [ $rc -ne 0 ] || [ -n "$findings" ]; then
    echo "!! $target: finding (exit $rc); inputs in $artifacts:"
    ls -l "$artifacts" | sed 's/^/   /'
    grep -E -m 5 'ERROR|runtime error|SUMMARY|timeout|leak' "$log" | sed 's/^/   /'
    status=1
  fi
done

if [ $status -eq 0 ]; then echo "== no findings"; else echo "== FINDINGS (see above)"; fi
exit $status
