#!/usr/bin/env bash
# Runs every benchmark of the zav_bench binary in the given build folder.
#   bench/run.sh build [extra Google Benchmark flags]
set -euo pipefail
build="${1:-build}"
shift || true
if [ ! -x "$build/zav_bench" ]; then
  echo "no $build/zav_bench: is libbenchmark-dev installed?" >&2
  exit 1
fi
exec "$build/zav_bench" "$@"
