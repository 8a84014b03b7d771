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
bash "$(dirname "$0")/growth.sh" "$build"    # work that must grow linearly, at four sizes
bash "$(dirname "$0")/startup.sh" "$build"   # start-up of the whole process, and the boot image's size
bash "$(dirname "$0")/load-save.sh" "$build" # save and load of 10 MB of values against python3's json and pickle
bash "$(dirname "$0")/codecs.sh" "$build"    # JSON and CSV codecs against python3's json and csv
bash "$(dirname "$0")/images/images.sh" "$build"  # image load and save against libpng and libjpeg called directly

# The lexer benchmark writes its data as JSON too: python3's json.loads on the same data, for reference.
json="${TMPDIR:-/tmp}/zav_lexer_bench.json"
if [ -f "$json" ] && [ -x /usr/bin/python3 ]; then
  /usr/bin/python3 -c 'import json,sys,time
data=open(sys.argv[1],"rb").read()
best=min((lambda t0: (json.loads(data), time.perf_counter()-t0)[1])(time.perf_counter()) for _ in range(5))
print("reference: python3 json.loads of the same data (%.1f MB): %.1f ms" % (len(data)/1e6, best*1e3))' "$json"
fi

# The compression benchmark writes its corpus and figures: python3's zlib at level 6 on the same bytes.
corpus="${TMPDIR:-/tmp}/zav_compress_bench.bin"
ours="${TMPDIR:-/tmp}/zav_compress_bench.txt"
if [ -f "$corpus" ] && [ -f "$ours" ] && [ -x /usr/bin/python3 ]; then
  /usr/bin/python3 -c 'import sys,time,zlib
data=open(sys.argv[1],"rb").read()
ratio,comp,decomp=(float(x) for x in open(sys.argv[2]).read().split())
t=[]
for _ in range(2):
    t0=time.process_time(); packed=zlib.compress(data,6); t.append(time.process_time()-t0)
d=[]
for _ in range(5):
    t0=time.process_time(); zlib.decompress(packed); d.append(time.process_time()-t0)
mb=len(data)/1e6
zr,zc,zd=len(data)/len(packed),mb/min(t),mb/min(d)
print("DEFLATE on a %.0f MB mixed corpus, zlib framing (processor time):" % mb)
print("  %-22s %8s %14s %16s" % ("", "ratio", "compress MB/s", "decompress MB/s"))
print("  %-22s %8.3f %14.1f %16.1f" % ("zav", ratio, comp, decomp))
print("  %-22s %8.3f %14.1f %16.1f" % ("python3 zlib level 6", zr, zc, zd))
print("  %-22s %8.3f %14.2f %16.2f" % ("zav / zlib", ratio/zr, comp/zc, decomp/zd))' "$corpus" "$ours"
  rm -f "$corpus"
fi

# The ZAVBIN benchmark writes its data as JSON and its best times: python3's pickle on the same records.
json="${TMPDIR:-/tmp}/zav_zavbin_bench.json"
ours="${TMPDIR:-/tmp}/zav_zavbin_bench.txt"
if [ -f "$json" ] && [ -f "$ours" ] && [ -x /usr/bin/python3 ]; then
  /usr/bin/python3 -c 'import json,pickle,sys,time
data=json.loads(open(sys.argv[1],"rb").read())
ours={}
for line in open(sys.argv[2]):
    k,v=line.split()
    ours[k]=min(float(v),ours.get(k,1e30))
def best(f):
    return min((lambda t0: (f(), time.perf_counter()-t0)[1])(time.perf_counter()) for _ in range(5))*1e3
packed=pickle.dumps(data)
enc,dec=best(lambda: pickle.dumps(data)),best(lambda: pickle.loads(packed))
print("ZAVBIN on %d records (best ms) against python3 pickle of the same records:" % len(data))
for form in ("compact","fixed"):
    e,d=ours["encode-"+form],ours["decode-"+form]
    print("  %-8s encode %7.2f (x%.2f of pickle %.2f)  decode %7.2f (x%.2f of pickle %.2f)" % (form,e,e/enc,enc,d,d/dec,dec))' "$json" "$ours"
  rm -f "$json" "$ours"
fi
