#!/usr/bin/env bash
# Runs the same small programs in Zav, python3 and Lua 5.4 and compares their speed.
#   bench/compare.sh BUILD [NAME...]   (no NAME: every program in bench/programs)
# Each program in bench/programs prints one checksum line; the three must agree
# (a program without a python3 and Lua twin has its line in NAME.expected).
# A new program is a NAME.zav with NAME.py and NAME.lua (or NAME.expected) beside it.
# Prints one row per program: seconds for each language, zav/python3 and zav/lua,
# and zav's peak resident memory. A program zav cannot run yet shows "not yet";
# a zav checksum that differs shows "wrong" and makes the run fail.
# Environment: ZAV_BENCH_RUNS (runs per program, best time kept; default 1),
# ZAV_BENCH_TIMEOUT (seconds before one zav run counts as not run; default 300).
set -uo pipefail

build="${1:-build}"
shift || true
here="$(cd "$(dirname "$0")" && pwd)"
programs="$here/programs"
zav="$build/zav"
python=/usr/bin/python3   # the system one, never a version manager's shim
lua=/usr/bin/lua5.4
[ -x "$lua" ] || lua="$(command -v lua5.4 || true)"
runs="${ZAV_BENCH_RUNS:-1}"
limit="${ZAV_BENCH_TIMEOUT:-300}"

for tool in "$python" "$lua" /usr/bin/time; do
  if [ -z "$tool" ] || [ ! -x "$tool" ]; then
    echo "compare.sh: missing ${tool:-lua5.4}; run scripts/install-deps.sh" >&2
    exit 1
  fi
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# run CMD... : best wall time of $runs runs in $secs, peak resident KiB in $rss,
# stdout in $work/out, stderr in $work/err, exit status of the last run in $status.
run() {
  local best="" peak=0 i start end t
  status=0
  for ((i = 0; i < runs; i++)); do
    start=$(date +%s%N)
    /usr/bin/time -f %M -o "$work/rss" timeout "$limit" "$@" </dev/null >"$work/out" 2>"$work/err"
    status=$?
    end=$(date +%s%N)
    [ "$status" -ne 0 ] && break
    t=$((end - start))
    if [ -z "$best" ] || [ "$t" -lt "$best" ]; then best=$t; fi
    local kb
    kb=$(tail -n 1 "$work/rss")
    [[ "$kb" =~ ^[0-9]+$ ]] && [ "$kb" -gt "$peak" ] && peak=$kb
  done
  secs=$(awk -v ns="${best:-0}" 'BEGIN { printf "%.3f", ns / 1e9 }')
  rss=$peak
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

# Until the runtime defines every operator the programs use, a prelude defines the
# missing ones; it goes in after each program's header line and shrinks to nothing
# once zav knows them all.
prelude="" missing=""
if [ -x "$zav" ]; then
  ops=("+" add "-" subtract "*" multiply "%" remainder "<" lesser? ">" greater?)
  probe="print ["
  for ((i = 0; i < ${#ops[@]}; i += 2)); do probe+=" value? '${ops[i]}"; done
  printf 'Zav []\n%s]\n' "$probe" >"$work/probe.zav"
  known=($(timeout 10 "$zav" "$work/probe.zav" 2>/dev/null </dev/null))
  for ((i = 0; i < ${#ops[@]}; i += 2)); do
    if [ "${known[i / 2]:-}" != "true" ]; then
      prelude+="${ops[i]}: make op! :${ops[i + 1]}  "
      missing+=" ${ops[i]}"
    fi
  done
fi

if [ $# -gt 0 ]; then
  names=("$@")
else
  names=()
  for f in "$programs"/*.zav; do names+=("$(basename "$f" .zav)"); done
fi
fmt="%-16s %10s %10s %10s %10s %10s %12s\n"
printf "$fmt" program zav python3 lua zav/python3 zav/lua "zav peak MB"
notes=()
failed=0
for name in "${names[@]}"; do
  py_s="-" lua_s="-" expected=""
  if [ -f "$programs/$name.py" ]; then
    run "$python" "$programs/$name.py"
    if [ "$status" -ne 0 ]; then
      echo "compare.sh: $name.py failed:" >&2; cat "$work/err" >&2; exit 1
    fi
    py_s=$secs; expected=$(cat "$work/out")
    if [ -f "$programs/$name.lua" ]; then
      run "$lua" "$programs/$name.lua"
      if [ "$status" -ne 0 ]; then
        echo "compare.sh: $name.lua failed:" >&2; cat "$work/err" >&2; exit 1
      fi
      lua_s=$secs
      if [ "$(cat "$work/out")" != "$expected" ]; then
        echo "compare.sh: $name: python3 printed '$expected', lua printed '$(cat "$work/out")'" >&2
        exit 1
      fi
    fi
  else
    expected=$(cat "$programs/$name.expected")
  fi

  if [ ! -x "$zav" ]; then
    printf "$fmt" "$name" "not yet" "$py_s" "$lua_s" - - -
    continue
  fi
  script="$programs/$name.zav"
  if [ -n "$prelude" ]; then
    script="$work/$name.zav"
    { head -n 1 "$programs/$name.zav"; echo "$prelude"; tail -n +2 "$programs/$name.zav"; } >"$script"
  fi
  run "$zav" "$script"
  if [ "$status" -ne 0 ]; then
    printf "$fmt" "$name" "not yet" "$py_s" "$lua_s" - - -
    if [ "$status" -eq 124 ]; then
      notes+=("$name: zav did not finish within ${limit}s")
    else
      notes+=("$name: zav exit $status: $(cat "$work/out" "$work/err" | grep -m 1 .)")
    fi
    continue
  fi
  got=$(cat "$work/out")
  mb=$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')
  if [ "$got" != "$expected" ]; then
    printf "$fmt" "$name" "wrong" "$py_s" "$lua_s" - - "$mb"
    notes+=("$name: zav printed '$got', expected '$expected'")
    failed=1
    continue
  fi
  r_py="-" r_lua="-"
  [ "$py_s" != "-" ] && r_py=$(ratio "$secs" "$py_s")
  [ "$lua_s" != "-" ] && r_lua=$(ratio "$secs" "$lua_s")
  printf "$fmt" "$name" "$secs" "$py_s" "$lua_s" "$r_py" "$r_lua" "$mb"
done

[ -n "$prelude" ] && notes+=("zav ran with a prelude defining${missing} (not defined by the runtime yet)")
for n in "${notes[@]}"; do echo "  $n"; done
exit "$failed"
