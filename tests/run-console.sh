#!/usr/bin/env bash
# The console fed through a pipe: each case under tests/console is a pair
# NAME.in (the lines typed) and NAME.expected (what the console prints, with
# "[exit N]" as a last line for a non-zero status). Settings go to a fresh home.
#   tests/run-console.sh path/to/zav tests/console
set -u
zav=$(realpath "$1"); root=$(realpath "$2")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
pass=0; fail=0
for input in "$root"/*.in; do
    name=$(basename "$input" .in)
    rm -rf "$tmp/home" "$tmp/work"; mkdir -p "$tmp/home" "$tmp/work"
    actual=$(cd "$tmp/work" && HOME="$tmp/home" timeout 60 "$zav" < "$input" 2>&1; rc=$?; [ $rc -ne 0 ] && echo "[exit $rc]")
    if [ "$actual" == "$(cat "$root/$name.expected")" ]; then
        pass=$((pass + 1))
    else
        fail=$((fail + 1))
        echo "FAIL: $name"
        diff <(echo "$actual") "$root/$name.expected" | head -40
    fi
done
echo "$pass passed, $fail failed"
[ $fail -eq 0 ]
