#!/bin/sh
# Builds everything and runs the whole test suite twice: a normal build, and
# a build with AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer;
# then runs the fuzz targets for a short fixed time.
# Installs what it needs first (Debian 12).
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)
./scripts/install-deps.sh
JOBS=$(nproc 2>/dev/null || echo 2)

run_suite() {
  dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUENTA_BUILD_TESTS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$JOBS"
  # Real windows need a display; the suite brings its own X server.
  (cd "$dir" && xvfb-run -a -s "-screen 0 1024x768x24" ctest --output-on-failure --no-tests=error -j"$JOBS")
}

run_suite "$ROOT/build/release"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$ROOT/build/sanitize" -DQUENTA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
# Every parser's fuzz target for a short fixed time (scripts/fuzz.sh runs
# them longer when asked).
./scripts/fuzz.sh 10
echo "All tests passed (normal and sanitizer builds, fuzz targets)."
