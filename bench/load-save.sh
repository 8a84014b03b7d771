#!/usr/bin/env bash
# save and load of a 10 MB block of mixed values (integers, floats, strings,
# words, nested blocks, maps) against python3's json and pickle on the same
# records, in the same run. Both sides print a checksum of what they loaded back.
#   bench/load-save.sh BUILD [RECORDS]
set -euo pipefail
build="${1:-build}"
n="${2:-100000}"
here="$(cd "$(dirname "$0")" && pwd)"
python=/usr/bin/python3
ours=$("$build/zav" "$here/load_save.zav" "$n")
theirs=$("$python" "$here/load_save.py" "$n")
pick() { awk -v k="$1" '$1 == k { print $2 }' <<<"$2"; }
if [ "$(grep '^check' <<<"$ours")" != "$(grep '^check' <<<"$theirs")" ]; then
  echo "load-save.sh: checksums differ: zav '$(grep '^check' <<<"$ours")', python3 '$(grep '^check' <<<"$theirs")'" >&2
  exit 1
fi
awk -v zs="$(pick save "$ours")" -v za="$(pick save-all "$ours")" -v zl="$(pick load "$ours")" \
    -v zb="$(pick bytes "$ours")" -v js="$(pick json-save "$theirs")" -v jl="$(pick json-load "$theirs")" \
    -v ps="$(pick pickle-save "$theirs")" -v pl="$(pick pickle-load "$theirs")" -v jb="$(pick json-bytes "$theirs")" 'BEGIN {
  printf "save and load of %d records (%.1f MB as Zav text, %.1f MB as JSON), best of 3, seconds:\n", '"$n"', zb / 1e6, jb / 1e6
  printf "  %-10s %8s %8s %8s %12s %12s\n", "", "zav", "json", "pickle", "zav/json", "zav/pickle"
  printf "  %-10s %8.3f %8.3f %8.3f %12.2f %12.2f\n", "save", zs, js, ps, zs / js, zs / ps
  printf "  %-10s %8.3f %8.3f %8.3f %12.2f %12.2f\n", "save/all", za, js, ps, za / js, za / ps
  printf "  %-10s %8.3f %8.3f %8.3f %12.2f %12.2f\n", "load", zl, jl, pl, zl / jl, zl / pl
}'
