#!/usr/bin/env bash
# Runs every Zav script under a folder and compares what it prints (stdout and
# stderr together) with the expected file beside it. A non-zero exit status is
# part of the expected text as a last line "[exit N]".
#   tests/run-scripts.sh path/to/zav tests/scripts [filter]
#   tests/run-scripts.sh path/to/zav tests/scripts/some/script.zav
set -u
zav=$(realpath "$1"); root=$2; filter=${3:-}
# A collection at every allocation makes a script many times slower, the
# more so the larger the library's heap: it gets a longer limit.
limit=60; [ -n "${ZAV_GC_STRESS:-}" ] && limit=240
# So do the sanitizers' unoptimised builds (set by CMake for them).
[ -n "${ZAV_SANITIZED:-}" ] && limit=$((limit * 4))
pass=0; fail=0; failed=()
while IFS= read -r script; do
  [ -n "$filter" ] && [[ "$script" != *"$filter"* ]] && continue
  expected="${script%.zav}.expected"
  if [ ! -f "$expected" ]; then
    echo "MISSING expected file for $script"; fail=$((fail+1)); failed+=("$script"); continue
  fi
  actual=$(cd "$(dirname "$script")" && timeout $limit "$zav" "$(basename "$script")" </dev/null 2>&1; rc=$?; [ $rc -ne 0 ] && echo "[exit $rc]")
  if [ "$actual" == "$(cat "$expected")" ]; then
    pass=$((pass+1))
  else
    fail=$((fail+1)); failed+=("$script")
    echo "FAIL: $script"
    diff <(echo "$actual") "$expected" | head -40
  fi
done < <(find "$root" -name '*.zav' | sort)
for f in "${failed[@]}"; do echo "failed: $f"; done
echo "$pass passed, $fail failed"
[ $fail -eq 0 ]
