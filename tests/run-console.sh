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

# Scripts named on the command line: switches before the script, its
# arguments, its folder, and what a failing script leaves behind.
check() {  # name, expected, actual
    if [ "$2" == "$3" ]; then pass=$((pass + 1)); else
        fail=$((fail + 1)); echo "FAIL: $1"; echo "  expected: $2"; echo "  actual:   $3"
    fi
}
rm -rf "$tmp/home" "$tmp/work"; mkdir -p "$tmp/home" "$tmp/work/sub"
cd "$tmp/work" || exit 1
run() { HOME="$tmp/home" timeout 60 "$zav" "$@" 2>&1; echo "[exit $?]"; }
printf '#!/usr/bin/zav\nZav [Title: "args"]\nprint mold system/options/args print mold system/script/args\nprint mold system/options/script print get-current-dir = clean-dir\n' > sub/args.zav
sed -i "s|clean-dir|%$tmp/work/sub/|" sub/args.zav
check "arguments" "$(printf '["a" "b c"]\n{a "b c"}\n%%sub/args.zav\ntrue\n[exit 0]')" "$(run sub/args.zav a "b c")"
check "--catch and --" "$(printf '["--x"]\n"--x"\n%%sub/args.zav\ntrue\n== 3\n[exit 0]')" \
    "$(echo '1 + 2' | run --catch --other -- sub/args.zav --x)"
check "a piece after -- is the script" "$(printf '*** Access Error: cannot open: %%--catch\n*** Where: --catch\n*** Near : none\n[exit 254]')" \
    "$(run -- --catch)"
printf 'print 1\n' > nohead.zav
check "no header" "$(printf '*** Error: Zav header not found!\n[exit 254]')" "$(run nohead.zav)"
check "no header, --catch" "$(printf '*** Error: Zav header not found!\n== 2\n[exit 0]')" "$(echo 2 | run --catch nohead.zav)"
printf 'Zav []\nprint "a"\nhalt\nprint "b"\n' > halt.zav
check "halt in a script" "$(printf 'a\n(halted)\n[exit 0]')" "$(run halt.zav)"
printf 'Zav []\n1 / 0\n' > fails.zav
check "failing script, --catch" "$(printf '*** Math Error: attempt to divide by zero\n*** Where: /\n*** Near : 1 / 0\n== 7\n[exit 0]')" \
    "$(echo 7 | run --catch fails.zav)"
# A script that cannot be read: with --catch the console starts as if none
# had been named, banner included.
check "missing script, --catch" "$(printf '*** Access Error: cannot open: %%none.zav\n*** Where: none.zav\n*** Near : none\n--== Zav V ==-- \nType HELP for starting information. \n\n[exit 0]')" \
    "$(run --catch none.zav </dev/null | sed 's/^--== Zav [0-9.]* ==--/--== Zav V ==--/')"
printf 'Zav/System [Title: "compiled"]\nprint 1\n' > system.zav
check "Zav/System header" "$(printf '*** Error: contains Zav/System code which requires compilation!\n[exit 254]')" "$(run system.zav)"
check "Zav/System header, --catch" "$(printf '*** Error: contains Zav/System code which requires compilation!\n== 2\n[exit 0]')" \
    "$(echo 2 | run --catch system.zav)"
printf 'Zav []\nprint "a" print [1 2 }\n' > syntax.zav
check "script that does not load, --catch" "$(printf '*** Syntax Error: (line 2) invalid character at }\n*** Where: syntax.zav\n*** Near : print "a" print [1 2 }\n== 3\n[exit 0]')" \
    "$(echo 3 | run --catch syntax.zav)"
# A script that ends inside an open block does not run at all: the error, and a failing status.
printf 'Zav []\nprint "a"\nx: [1 2\n' > open.zav
check "script ending in an open block" "$(printf '*** Syntax Error: (line 4) missing ] at [1 2\n*** Where: open.zav\n*** Near : x: [1 2\n[exit 254]')" \
    "$(run open.zav)"

# The settings file keeps the history between runs; one that cannot be read
# or written never stops the console.
cfg="$tmp/home/.zav/Zav-Console/console-cfg.zav"
rm -rf "$tmp/home"; mkdir -p "$tmp/home"
# Redirected lines are not history (the terminal tests type them): the block
# is filled by hand here.
printf 'insert system/console/history "1 + 1"\nq\n' | HOME="$tmp/home" "$zav" >/dev/null 2>&1
check "history saved" "$(printf 'Zav [\n\tPurpose: "Zav Console Configuration File"\n]\n\nbuffer-lines: 10000 history: ["1 + 1"]')" "$(cat "$cfg")"
check "history loaded" '== ["1 + 1"]' \
    "$(printf 'print 2\nsystem/console/history\n' | HOME="$tmp/home" "$zav" 2>&1 | tail -1)"
{ printf 'Zav []\nhistory: ['; for i in $(seq 150); do printf '"%s" ' "$i"; done; printf ']\n'; } > "$cfg"
# 150 lines and one more typed: the 100 newest go back ("x", then "1" to "99").
printf 'insert system/console/history "x"\nq\n' | HOME="$tmp/home" "$zav" >/dev/null 2>&1
check "100 newest lines kept" '100 "x" "99"' \
    "$(printf 'print [length? h: system/console/history mold first h mold last h]\n' | HOME="$tmp/home" "$zav" 2>&1 | tail -1)"
printf 'Zav [ ((( {' > "$cfg"
check "corrupt settings" "$(printf '== []\n[exit 0]')" "$(printf 'system/console/history\n' | HOME="$tmp/home" "$zav" 2>/dev/null | tail -1; echo "[exit $?]")"
# ... is kept aside, with a word on standard error, and a new one written.
check "corrupt settings kept" "Zav [ ((( {" "$(cat "$cfg.bad")"
check "corrupt settings reported" "Zav Console: cannot read $cfg; moved to $cfg.bad-2" \
    "$(printf 'Zav [ ((( {' > "$cfg"; printf 'q\n' | HOME="$tmp/home" "$zav" 2>&1 >/dev/null)"
check "corrupt settings kept twice" "Zav [ ((( {|Zav [ ((( {|true" "$(cat "$cfg.bad")|$(cat "$cfg.bad-2")|$(grep -q history "$cfg" && echo true)"
# Settings are never written through a link nor into another user's folder.
rm -rf "$tmp/home" "$tmp/elsewhere"; mkdir -p "$tmp/home" "$tmp/elsewhere"
ln -s "$tmp/elsewhere" "$tmp/home/.zav"
printf '1\nq\n' | HOME="$tmp/home" "$zav" >/dev/null 2>&1
check "no settings through a linked folder" "" "$(ls -A "$tmp/elsewhere")"
rm "$tmp/home/.zav"; mkdir -p "$(dirname "$cfg")"; echo "precious" > "$tmp/elsewhere/file"
ln -s "$tmp/elsewhere/file" "$cfg"
printf '1\nq\n' | HOME="$tmp/home" "$zav" >/dev/null 2>&1
check "no settings through a linked file" "precious" "$(cat "$tmp/elsewhere/file")"
if [ "$(id -u)" -eq 0 ]; then
    rm -rf "$tmp/home/.zav"; mkdir -p "$tmp/home/.zav"; chown 65534 "$tmp/home/.zav"
    printf '1\nq\n' | HOME="$tmp/home" "$zav" >/dev/null 2>&1
    check "no settings in another user's folder" "" "$(ls -A "$tmp/home/.zav")"
fi
rm -rf "$tmp/home" "$tmp/elsewhere"; mkdir -p "$tmp/home"

# Input that ends inside an open block is an error, not a success; a status
# outside 0 to 255 never becomes 0.
check "end of input in an open block" "$(printf '1\n*** Syntax Error: (line 3) missing ] at [1 2\n*** Where: transcode\n*** Near : x: [1 2\n3\n[exit 254]')" \
    "$(printf 'print 1\nx: [1 2\n3\n' | HOME="$tmp/home" "$zav" 2>&1 | tail -n +4; r=${PIPESTATUS[1]}; echo "[exit $r]")"
for status in "256 255" "512 255" "-256 255" "255 255" "-2 254" "7 7"; do
    set -- $status
    check "quit/return $1" "$2" "$(echo "quit/return $1" | HOME="$tmp/home" "$zav" >/dev/null 2>&1; echo $?)"
done
check "settings folder not writable" "$(printf '== 3\n[exit 0]')" \
    "$(printf '1 + 2\nq\n' | HOME=/proc/no-such-home "$zav" 2>&1 | tail -1; echo "[exit $?]")"

echo "$pass passed, $fail failed"
[ $fail -eq 0 ]
