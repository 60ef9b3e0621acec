#!/bin/sh
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) in build/fuzz and runs each for a while.
#
#   scripts/fuzz.sh [SECONDS-PER-TARGET] [TARGET...]
#
# SECONDS-PER-TARGET defaults to 30; without TARGET names every target runs.
# Each target starts from its seeds in fuzz/corpus/<target>/ and keeps what
# it finds in build/fuzz/corpus/<target>/ for the next run. A crashing,
# hanging or memory-exhausting input is saved under build/fuzz/artifacts/
# <target>/ and the log under build/fuzz/logs/. libFuzzer stops a target at
# its first finding, so "findings" is 0 or 1 per target and run.
#
# Prints executions and findings per target; exits 1 when any target found
# something (or did not run), 0 otherwise.
set -u
cd "$(dirname "$0")/.."
ROOT=$(pwd)
SECONDS_PER_TARGET=${1:-30}
[ $# -gt 0 ] && shift
case $SECONDS_PER_TARGET in
  ''|*[!0-9]*) echo "usage: $0 [seconds-per-target] [target...]" >&2; exit 2 ;;
esac

./scripts/install-deps.sh || exit 2
JOBS=$(nproc 2>/dev/null || echo 2)
BUILD="$ROOT/build/fuzz"

CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUENTA_FUZZ=ON -DQUENTA_BUILD_TESTS=OFF >/dev/null || exit 2
cmake --build "$BUILD" -j"$JOBS" --target fuzz_targets >/dev/null || {
  echo "fuzz build failed; rerun: cmake --build $BUILD --target fuzz_targets" >&2
  exit 2
}

if [ $# -gt 0 ]; then
  TARGETS="$*"
else
  TARGETS=$(cd "$ROOT/fuzz/corpus" && ls)
fi

# libFuzzer reports leaks itself; sanitizer findings end the run as a crash.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

failed=0
printf '%-22s %12s %9s  %s\n' target executions findings result
for t in $TARGETS; do
  bin="$BUILD/fuzz/$t"
  seeds="$ROOT/fuzz/corpus/$t"
  work="$BUILD/corpus/$t"
  artifacts="$BUILD/artifacts/$t"
  log="$BUILD/logs/$t.log"
  mkdir -p "$work" "$artifacts" "$BUILD/logs"
  if [ ! -x "$bin" ] || [ ! -d "$seeds" ]; then
    printf '%-22s %12s %9s  %s\n' "$t" - - "no such target"
    failed=1
    continue
  fi
  before=$(ls "$artifacts" | wc -l)
  # stdout of the code under test is closed (-close_fd_mask=1): some
  # decoders print diagnostics there on every rejected input.
  "$bin" -max_total_time="$SECONDS_PER_TARGET" -timeout=25 -rss_limit_mb=2048 \
    -print_final_stats=1 -close_fd_mask=1 -artifact_prefix="$artifacts/" \
    "$work" "$seeds" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  after=$(ls "$artifacts" | wc -l)
  findings=$((after - before))
  if [ "$rc" -eq 0 ] && [ "$findings" -eq 0 ]; then
    result=ok
  else
    failed=1
    newest=$(ls -t "$artifacts" | head -n 1)
    if [ -n "$newest" ] && [ "$findings" -gt 0 ]; then
      result="FOUND: $artifacts/$newest (log $log)"
    else
      result="FAILED (exit $rc, log $log)"
    fi
  fi
  printf '%-22s %12s %9s  %s\n' "$t" "${execs:-?}" "$findings" "$result"
done
exit $failed
