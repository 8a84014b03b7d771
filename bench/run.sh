#!/usr/bin/env bash
# Runs the benchmarks of a build folder; each pairs Zav's work with a reference doing the same.
set -euo pipefail
build=${1:-build}
"$build/zav_bench" --benchmark_counters_tabular=true
