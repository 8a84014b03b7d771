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
bash "$(dirname "$0")/compare.sh" "$build"   # the same programs in Zav, python3 and Lua

# The lexer benchmark writes its data as JSON too: python3's json.loads on the same data, for reference.
json="${TMPDIR:-/tmp}/zav_lexer_bench.json"
if [ -f "$json" ] && [ -x /usr/bin/python3 ]; then
  /usr/bin/python3 -c 'import json,sys,time
data=open(sys.argv[1],"rb").read()
best=min((lambda t0: (json.loads(data), time.perf_counter()-t0)[1])(time.perf_counter()) for _ in range(5))
print("reference: python3 json.loads of the same data (%.1f MB): %.1f ms" % (len(data)/1e6, best*1e3))' "$json"
fi
