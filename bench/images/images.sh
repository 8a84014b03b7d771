#!/usr/bin/env bash
# load and save of a 4000x3000 PNG and JPEG in Zav against the floor: a small
# C++ program that calls libpng and libjpeg directly on the same files.
#   bench/images/images.sh BUILD
set -euo pipefail
build="${1:-build}"
here="$(cd "$(dirname "$0")" && pwd)"
if [ ! -x "$build/zav_image_floor" ]; then
  echo "images.sh: no $build/zav_image_floor (libpng and libjpeg headers missing?)" >&2
  exit 0
fi
data=$(mktemp -d)
trap 'rm -rf "$data"' EXIT
"$build/zav_image_floor" make "$data"
ours=$("$build/zav" "$here/images.zav" "$data")
floor=$("$build/zav_image_floor" time "$data")
pick() { awk -v k="$1" '$1 == k { print $2 }' <<<"$2"; }
if [ "$(pick size "$ours")" != "$(pick size "$floor")" ]; then
  echo "images.sh: sizes differ: zav $(pick size "$ours"), floor $(pick size "$floor")" >&2
  exit 1
fi
echo "Images: load and save of a $(pick size "$floor") picture, best of 3, seconds (goal: within 1.2x of the floor):"
printf "  %-14s %8s %8s %10s\n" "" "zav" "floor" "zav/floor"
for k in png-decode png-encode jpeg-decode jpeg-encode; do
  awk -v k="$k" -v z="$(pick "$k" "$ours")" -v f="$(pick "$k" "$floor")" \
    'BEGIN { printf "  %-14s %8.3f %8.3f %10.2f\n", k, z, f, z / f }'
done
