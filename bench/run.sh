#!/usr/bin/env bash
# Runs the benchmarks of a build folder; each pairs Zav's work with a reference doing the same.
#   bench/run.sh build [extra Google Benchmark flags]
set -euo pipefail
build="${1:-build}"
shift || true
if [ ! -x "$build/zav_bench" ]; then
  echo "no $build/zav_bench: is libbenchmark-dev installed?" >&2
  exit 1
fi
"$build/zav_bench" --benchmark_counters_tabular=true "$@"
