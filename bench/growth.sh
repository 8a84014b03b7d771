#!/usr/bin/env bash
# Work that must grow linearly, timed at four sizes: making a function whose
# body sets many words, and remove-each over a long block. Each size doubles
# the last, so a linear cost shows a steady time per item; python3 and Lua 5.4
# do the same work for reference ("-": no such work there).
#   bench/growth.sh BUILD
set -uo pipefail
build="${1:-build}"
zav="$build/zav"
python=/usr/bin/python3
lua=/usr/bin/lua5.4
[ -x "$lua" ] || lua="$(command -v lua5.4 || true)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# seconds CMD...: wall time of one run in $secs, its output in $out.
seconds() {
  local start end
  start=$(date +%s%N)
  out=$("$@" 2>&1 </dev/null)
  end=$(date +%s%N)
  secs=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')
}

# row NAME N ZAV-PROGRAM PYTHON-PROGRAM LUA-PROGRAM (empty: none)
row() {
  local name=$1 n=$2 z=$3 p=$4 l=$5 zs ps ls zo
  printf 'Zav []\n%s\n' "$z" > "$work/p.zav"
  seconds "$zav" "$work/p.zav"; zs=$secs; zo=$out
  printf '%s\n' "$p" > "$work/p.py"
  seconds "$python" "$work/p.py"; ps=$secs
  [ "$out" = "$zo" ] || zs="wrong"
  ls="-"
  if [ -n "$l" ] && [ -n "$lua" ]; then
    printf '%s\n' "$l" > "$work/p.lua"
    seconds "$lua" "$work/p.lua"; ls=$secs
  fi
  awk -v name="$name" -v n="$n" -v z="$zs" -v p="$ps" -v l="$ls" 'BEGIN {
    per = (z == "wrong") ? "-" : sprintf("%.3f", z * 1e6 / n)
    printf "%-26s %9d %9s %9s %9s %14s\n", name, n, z, p, l, per }'
}

printf '%-26s %9s %9s %9s %9s %14s\n' "linear growth" "items" "zav s" "python3 s" "lua s" "zav us/item"
for n in 20000 40000 80000 160000; do
  row "function with set-words" $n \
    "body: copy [] repeat i $n [append body to set-word! append copy \"w\" form i append body i]
f: function [] body
print (length? reflect :f 'words) - 1" \
    "src = 'def f():\n' + ''.join('    w%d = %d\n' % (i, i) for i in range(1, $n + 1))
ns = {}
exec(compile(src, 'f', 'exec'), ns)
print(ns['f'].__code__.co_nlocals)" \
    ""
done
for n in 250000 500000 1000000 2000000; do
  row "remove-each odd numbers" $n \
    "b: copy [] repeat i $n [append b i]
remove-each x b [odd? x]
print length? b" \
    "b = list(range(1, $n + 1))
b[:] = [x for x in b if x % 2 == 0]
print(len(b))" \
    "local b = {}
for i = 1, $n do b[i] = i end
local w = 0
for r = 1, #b do local x = b[r]; b[r] = nil; if x % 2 == 0 then w = w + 1; b[w] = x end end
print(#b)"
done
for n in 50000 100000 200000 400000; do
  row "replace/all in text" $n \
    "s: append/dup make string! 0 \"ab\" $n
replace/all s \"a\" \"xyz\"
print length? s" \
    "s = 'ab' * $n
s = s.replace('a', 'xyz')
print(len(s))" \
    "local s = string.rep('ab', $n)
s = string.gsub(s, 'a', 'xyz')
print(#s)"
done
for n in 50000 100000 200000 400000; do
  row "replace/all in a block" $n \
    "b: append/dup make block! 0 [1 2] $n
replace/all b 1 [3 4]
print length? b" \
    "b = [1, 2] * $n
out = []
for x in b:
    if x == 1:
        out.extend([3, 4])
    else:
        out.append(x)
b[:] = out
print(len(b))" \
    ""
done

# Console input redirected from a file, no reference: a block pasted over n
# lines (the pending text is not lexed again for every line), and one line of
# n bytes read by `input` (read in blocks, not a byte per call).
# stdin_row NAME N INPUT-FILE [SCRIPT]: the console (or the script) reading the file.
stdin_row() {
  local name=$1 n=$2 file=$3 start end
  start=$(date +%s%N)
  "$zav" ${4:+"$4"} < "$file" > /dev/null 2>&1
  end=$(date +%s%N)
  awk -v name="$name" -v n="$n" -v ns=$((end - start)) 'BEGIN {
    printf "%-26s %9d %9.3f %9s %9s %14.3f\n", name, n, ns / 1e9, "-", "-", ns / 1e3 / n }'
}
for n in 8000 16000 32000 64000; do
  { echo 'x: ['; seq 1 $n | sed 's/.*/  & "s" [a b] (c)/'; echo ']'; echo 'print length? x'; } > "$work/paste.txt"
  stdin_row "console paste, lines" $n "$work/paste.txt"
done
printf 'Zav []\nprint length? input\n' > "$work/line.zav"
for n in 5000000 10000000 20000000 40000000; do
  head -c $n /dev/zero | tr '\0' a > "$work/line.txt"; echo >> "$work/line.txt"
  stdin_row "input of one long line" $n "$work/line.txt" "$work/line.zav"
done
