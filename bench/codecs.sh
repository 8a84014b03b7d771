#!/usr/bin/env bash
# load-json and to-json on a 15 MB document of mixed objects, arrays, numbers
# and escaped strings, and load-csv and to-csv on 200,000 rows, against
# python3's json and csv modules on the same files, in the same run.
#   bench/codecs.sh BUILD
set -euo pipefail
build="${1:-build}"
here="$(cd "$(dirname "$0")" && pwd)"
python=/usr/bin/python3
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
"$python" "$here/codecs.py" make "$data"
ours=$("$build/zav" "$here/codecs.zav" "$data")
theirs=$("$python" "$here/codecs.py" time "$data")
pick() { awk -v k="$1" '$1 == k { print $2 }' <<<"$2"; }
for k in json-check csv-check; do
  # Both sides read the same number of records (the texts they write may differ in form).
  if [ "$(pick "$k" "$ours")" != "$(pick "$k" "$theirs")" ]; then
    echo "codecs.sh: $k differs: zav '$(grep "^$k" <<<"$ours")', python3 '$(grep "^$k" <<<"$theirs")'" >&2
    exit 1
  fi
done
awk -v mb="$(du -m "$data/doc.json" | cut -f1)" \
    -v zl="$(pick json-load "$ours")" -v zd="$(pick json-dump "$ours")" \
    -v zr="$(pick csv-load "$ours")" -v zw="$(pick csv-write "$ours")" \
    -v pl="$(pick json-load "$theirs")" -v pd="$(pick json-dump "$theirs")" \
    -v pr="$(pick csv-load "$theirs")" -v pw="$(pick csv-write "$theirs")" 'BEGIN {
  printf "JSON (%d MB document) and CSV (200,000 rows), best of 3, seconds:\n", mb
  printf "  %-22s %8s %8s %12s\n", "", "zav", "python3", "zav/python3"
  printf "  %-22s %8.3f %8.3f %12.2f\n", "load-json / loads", zl, pl, zl / pl
  printf "  %-22s %8.3f %8.3f %12.2f\n", "to-json / dumps", zd, pd, zd / pd
  printf "  %-22s %8.3f %8.3f %12.2f\n", "load-csv / reader", zr, pr, zr / pr
  printf "  %-22s %8.3f %8.3f %12.2f\n", "to-csv / writer", zw, pw, zw / pw
}'
