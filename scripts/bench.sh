#!/bin/sh
# Builds the benchmarks in a Release tree (build/bench), runs them and prints
# each benchmark's summary table (the lines from "Summary:" on). Extra arguments go to the benchmark
# executables (for example --benchmark_filter=16MB or
# --benchmark_min_time=2). The full output is kept in build/bench/*.log.
set -e
cd "$(dirname "$0")/.."
ROOT=$(pwd)
./scripts/install-deps.sh
JOBS=$(nproc 2>/dev/null || echo 2)
BUILD="$ROOT/build/bench"

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DQUENTA_BENCH=ON \
  -DQUENTA_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$JOBS" --target benchmarks >/dev/null

for bench in "$BUILD"/bench/*_bench; do
  name=$(basename "$bench")
  log="$BUILD/$name.log"
  echo "== $name"
  "$bench" "$@" >"$log" 2>&1 || { cat "$log"; exit 1; }
  # Each benchmark ends its output with a summary that starts "Summary:";
  # load_bench prints its memory figures first, in a block that starts
  # "Order memory:" and ends with an empty line.
  sed -n '/^Order memory:/,/^$/p;/^Summary:/,$p' "$log"
done
