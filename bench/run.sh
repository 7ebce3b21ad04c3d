#!/bin/sh
# bench/run.sh -- builds archive_bench with the release preset and runs it. Arguments go to the
# benchmark (for instance --benchmark_filter=Stream). KELVANE_BENCH_BUILD_DIR builds in another
# folder than build/release.
set -eu
cd "$(dirname "$0")/.."
if [ -n "${KELVANE_BENCH_BUILD_DIR:-}" ]; then
  cmake --preset release -B "$KELVANE_BENCH_BUILD_DIR"
  cmake --build "$KELVANE_BENCH_BUILD_DIR" --target archive_bench -j 2
  bench="$KELVANE_BENCH_BUILD_DIR/bin/archive_bench"
else
  cmake --preset release
  cmake --build --preset release --target archive_bench -j 2
  bench=build/release/bin/archive_bench
fi
exec "$bench" "$@"
