#!/usr/bin/env bash
# Resource limits the system may start under: a limited address space
# (ulimit -v), an arena that fills up, a full symbol table, a C++ heap that
# runs out.
#   tests/run-limits.sh path/to/zav
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/check-lib.sh" "$1"
# Each case fills memory on purpose: a collection at every allocation would
# only make it slow.
unset ZAV_GC_STRESS

# An address space too small for the whole 4 GiB arena: the arena shrinks.
echo 'Zav [] print 1 + 2' > sum.zav
check "start under ulimit -v" "3 0" "$( (ulimit -v 2000000; "$zav" sum.zav 2>&1; echo $?) | tr '\n' ' ' | sed 's/ $//')"

# A full arena: the error saying so is still built and caught, and the memory
# is used again once dropped.
cat > fill.zav <<'ZAV'
Zav []
recycle/off
keep: copy [] r: try [forever [append keep make binary! 1000]]
print [r/type r/id]
keep: none recycle
loop 1000 [append keep: [] make binary! 1000] print "room again"
ZAV
check "full arena" "internal no-memory room again 0" \
    "$( (ulimit -v 1000000; "$zav" fill.zav 2>&1; echo $?) | tr '\n' ' ' | sed 's/ $//')"

# A symbol table that cannot grow any more (its growth needs a large buffer
# and only small ones are left): try catches it, and the script goes on.
cat > words.zav <<'ZAV'
Zav []
recycle/off
keep: copy [] r: try [forever [append keep make binary! 1000000]]
n: 0 r: try [forever [to word! append copy "w" n n: n + 1]]
print [r/type r/id n > 1000]
keep: none recycle
print mold to word! "after-exhaustion"
ZAV
check "full symbol table" "internal no-memory true after-exhaustion 0" \
    "$( (ulimit -v 1000000; "$zav" words.zav 2>&1; echo $?) | tr '\n' ' ' | sed 's/ $//')"

# The C++ heap running out (reading a 200 MB script in 300 MB of address
# space) is the runtime's out-of-memory report.
truncate -s 200M big.zav
out=$( (ulimit -v 300000; "$zav" big.zav 2>&1; echo "[exit $?]") | grep -v '^\*\*\* at:' | tr '\n' ' ')
check "C++ heap exhausted" " *** Runtime Error 94: out of memory [exit 94] " "$out"

# Recursion of a fib-like function (a conditional whose branch holds calls
# in a paren and under an operator; the last one run from its plan, its
# depth the frames open at the error) ends at the same depth under the fast
# paths and the reference evaluator, where the machine stack is large enough
# for the frame and value stacks to bind first (the reference evaluator's
# larger C++ frames reach a usual 8 MiB machine stack first).
cat > deep.zav <<'ZAV'
Zav []
n: 0 deep: func [k] [n: n + 1 either k < 0 [k] [(deep k + 1) + deep k + 2]] e: try [deep 0] prin [e/id n ""]
n: 0 deep: func [k] [either k < 0 [k] [n: n + 1 1 + deep k + 1]] e: try [deep 0] prin [e/id n ""]
n: 0 deep: func [k] [either (n: n + 1) < 0 [k] [deep k]] e: try [deep 0] print [e/id n]
lim: 9 deep: func [k] [either k > lim [k] [(deep k + 1) + deep k + 2]] deep 0
lim: 100000000 e: try [deep 0] print [e/id e/stack]
ZAV
depths="stack-overflow 1999 stack-overflow 2398 stack-overflow 2997 stack-overflow 12000 0"
check "recursion depth, fast paths" "$depths" "$( (ulimit -s 65536; "$zav" deep.zav 2>&1; echo $?) | tr '\n' ' ' | sed 's/ $//')"
check "recursion depth, reference evaluator" "$depths" \
    "$( (ulimit -s 65536; ZAV_REFERENCE_EVAL=1 "$zav" deep.zav 2>&1; echo $?) | tr '\n' ' ' | sed 's/ $//')"

# Big series grown and replaced over and over leave their old buffers behind:
# each new buffer counts towards the next collection, so those are removed
# long before the arena fills (here about 2 GB of dead buffers in a 1 GB
# address space).
cat > churn.zav <<'ZAV'
Zav []
a: append/dup make block! 0 1 70000  b: copy a
loop 1000 [change/part a [1 1] 1 change/part b [1 1] 1]
s: append/dup make string! 0 "x" 1000000  t: copy s
loop 1000 [change/part s "ab" 1 change/part t "ab" 1]
u: append/dup make binary! 0 #{01} 1000000  v: copy u
loop 1000 [insert u #{02} insert v #{02}]
print [length? a length? b length? s length? t length? u length? v]
ZAV
check "dead buffers collected" "71000 71000 1001000 1001000 1001000 1001000 0" \
    "$( (ulimit -v 1000000; "$zav" churn.zav 2>&1; echo $?) | tr '\n' ' ' | sed 's/ $//')"

# With much live data the next collection is far off, and dead buffers can
# fill the arena (256 MiB here) first: an allocation that finds no room
# collects before it fails.
cat > live.zav <<'ZAV'
Zav []
keep: copy [] loop 150 [append keep make binary! 1000000]
recycle
loop 2000 [x: make binary! 1000000]
loop 2000 [x: make binary! 100000]
print "room found"
ZAV
check "collection before no-memory" "room found 0" \
    "$( (ulimit -v 1000000; "$zav" live.zav 2>&1; echo $?) | tr '\n' ' ' | sed 's/ $//')"

# Reading an endless device stops at what one value, and the memory left,
# can hold: an error the script catches, not the process's memory running out.
printf 'Zav []\nr: try [read %%/dev/zero] print [r/type r/id]\n' > endless-read.zav
check "endless device" "script too-long 0" \
    "$( (ulimit -v 1000000; "$zav" endless-read.zav 2>&1; echo $?) | tr '\n' ' ' | sed 's/ $//')"

# So does a line of redirected input that never ends, read by input, ask or
# the console itself.
printf 'Zav []\nr: try [input] print [r/type r/id]\nr: try [ask ">"] print [r/type r/id]\n' > endless-line.zav
check "endless input line" "script too-long script too-long 0" \
    "$( (ulimit -v 1000000; timeout 300 "$zav" endless-line.zav < /dev/zero 2>&1; echo $?) | tr '\n' ' ' | sed 's/ $//')"
check "endless console line" "*** Script Error: Content too long 254" \
    "$( (ulimit -v 1000000; timeout 300 "$zav" < /dev/zero 2>&1; echo $?) | grep -v '^\*\*\* \(Where\|Near\)\|^--==\|^Type HELP\|^$' | tr '\n' ' ' | sed 's/^ *//; s/ $//')"

# An HTTP body without a length (an endless chunked stream) stops at what one
# value, and the memory left, can hold: a clear error, long before the
# process's memory runs out. (Without python3 there is no server to ask.)
if command -v python3 >/dev/null; then
    python3 "$here/scripts/io/http-server.py" "$tmp/port" &
    server=$!
    for _ in $(seq 200); do [ -f "$tmp/port" ] && break; sleep 0.05; done
    printf 'Zav []\nr: try [read http://127.0.0.1:%s/endless]\nprint [r/type r/id]\n' "$(cat "$tmp/port")" > endless.zav
    check "endless HTTP body" "access too-large 0" \
        "$( (ulimit -v 1000000; timeout 300 "$zav" endless.zav 2>&1; echo $?) | tr '\n' ' ' | sed 's/ $//')"
    kill $server 2>/dev/null; wait $server 2>/dev/null
fi

[ $fail -eq 0 ] && echo "all limits checks passed"
[ $fail -eq 0 ]
