#!/usr/bin/env bash
# What a script does at the process boundary: output whose reader goes away or
# whose disk is full, interrupts, and script files that cannot be loaded whole.
#   tests/run-cli.sh path/to/zav
set -u
. "$(dirname "${BASH_SOURCE[0]}")/check-lib.sh" "$1"

# A reader that goes away stops the writer, with a word on standard error.
echo 'Zav [] forever [print "y"]' > forever.zav
out=$(timeout 20 "$zav" forever.zav 2>err | head -1; echo "${PIPESTATUS[0]}")
check "closed pipe status" "$(printf 'y\n141')" "$out"
check "closed pipe message" "*** Output Error: cannot write standard output: Broken pipe" "$(cat err)"

# A full disk is a failure, not a success.
echo 'Zav [] repeat i 100000 [print i]' > count.zav
timeout 20 "$zav" count.zav > /dev/full 2>err
check "full disk status" 74 $?
check "full disk message" "*** Output Error: cannot write standard output: No space left on device" "$(cat err)"

# A lone surrogate goes out as U+FFFD, never as bytes that are not UTF-8.
echo 'Zav [] print "a^(D800)b^(DFFF)"' > surrogate.zav
check "lone surrogates" "61 ef bf bd 62 ef bf bd 0a" "$("$zav" surrogate.zav | od -An -tx1 | xargs)"

# An interrupted script says so in its status (128 + SIGINT), as shells do.
echo 'Zav [] forever [1]' > busy.zav
"$zav" busy.zav & pid=$!
sleep 0.5; kill -INT $pid; wait $pid
check "SIGINT status" 130 $?

# Text the lexer cannot address is refused, never read without end nor cut
# modulo 2^32. (The time limits only catch a reader that never ends: reading
# 4 GiB takes seconds alone and several times that on a loaded machine.)
out=$(timeout 300 "$zav" /dev/zero 2>&1); rc=$?
check "endless input" "254 *** Script Error: maximum limit reached: %/dev/zero" "$rc $(echo "$out" | head -1)"
printf 'Zav [] print "first line"\n' > huge.zav
truncate -s 4294967311 huge.zav
out=$(timeout 300 "$zav" huge.zav 2>&1); rc=$?
check "file over 4 GiB" "254 *** Script Error: maximum limit reached: %huge.zav" "$rc $(echo "$out" | head -1)"

# A script that cannot be read is reported with its name; no code ran near it.
out=$("$zav" missing.zav 2>&1); rc=$?
check "missing script" "$(printf '254\n*** Access Error: cannot open: %%missing.zav\n*** Where: missing.zav\n*** Near : none')" "$rc
$out"

# A path that leads to standard output or input writes to the descriptor: the
# file behind it is neither replaced nor cut.
printf 'Zav []\nprint "a"\nwrite %%/dev/stdout "b^/"\nwrite/append %%/dev/fd/1 "c^/"\nprint "d"\n' > to-stdout.zav
"$zav" to-stdout.zav > out.txt 2>&1
check "write to /dev/stdout" "$(printf 'a\nb\nc\nd')" "$(cat out.txt)"
printf 'input text\n' > in.txt
printf 'Zav []\nprint error? try [write %%/dev/stdin "x"]\n' > to-stdin.zav
check "write to /dev/stdin" "true input text" "$("$zav" to-stdin.zav < in.txt) $(cat in.txt)"

# Under a file-size limit a large write or save fails as an error the script
# catches; the old file and no temporary file remain.
printf 'Zav []\nwrite %%big.txt "old"\nprint error? try [write %%big.txt append/dup "" "x" 200000]\nprint error? try [save %%big.txt array/initial 50000 "y"]\nprint read %%big.txt\n' > fsize.zav
out=$(ulimit -f 64; "$zav" fsize.zav 2>&1; echo "[exit $?]")
check "file-size limit" "$(printf 'true\ntrue\nold\n[exit 0]')" "$out"
check "no temporary file left" "big.txt" "$(ls -A | grep big)"

# Lines of redirected input are read in blocks, yet a child that shares the
# input reads on from the line after the script's.
printf 'Zav []\nprint input\ncall/console/shell "read x; echo child: $x"\nprint input\n' > shared-input.zav
printf 'l1\nl2\nl3\n' > lines.txt
check "input shared with a child" "$(printf 'l1\nchild: l2\nl3')" "$("$zav" shared-input.zav < lines.txt)"

[ $fail -eq 0 ] && echo "all passed"
[ $fail -eq 0 ]
