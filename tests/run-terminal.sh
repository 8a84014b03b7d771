#!/usr/bin/env bash
# The line editor on a real terminal, driven through tmux: typing, the editing
# keys, history recall, a wide character, a resize, and the terminal's modes
# (stty -g) the same after every way out: Ctrl-D, Ctrl-C, a fatal signal and
# SIGTERM. Skipped when tmux is missing or cannot start a server.
#   tests/run-terminal.sh PROBE
set -u
probe=$1
command -v tmux >/dev/null || { echo "skipped: no tmux"; exit 0; }

dir=$(mktemp -d)
sock="zav-terminal-$$"
tm() { tmux -L "$sock" -f /dev/null "$@"; }
trap 'tm kill-server 2>/dev/null; rm -rf "$dir"' EXIT

if ! tm new-session -d -s t -x 40 -y 20 "env -i PATH=$PATH TERM=screen bash --norc --noprofile" 2>/dev/null; then
    echo "skipped: tmux cannot start"
    exit 0
fi

failed=0
fail() {
    echo "FAIL: $1"
    tm capture-pane -p -t t | grep -v '^$' | sed 's/^/  | /'
    failed=1
}
# Waits up to 10 s for the pane to show a line matching the pattern.
wait_for() {
    for _ in $(seq 100); do
        tm capture-pane -p -t t | grep -qE -- "$1" && return 0
        sleep 0.1
    done
    return 1
}
expect() { wait_for "$1" || fail "expected: $1"; }
# Waits for the pattern to match exactly n lines.
expect_count() {
    for _ in $(seq 100); do
        [ "$(tm capture-pane -p -t t | grep -cE -- "$1")" -eq "$2" ] && return 0
        sleep 0.1
    done
    fail "expected $2 lines of: $1"
}

# One run of the probe between two readings of the terminal's modes. Keys
# are sent only once the probe's own prompt shows (it draws it in raw mode):
# the marker on the first row tells it from the screen of the run before.
run=0
start() {
    run=$((run + 1))
    tm send-keys -t t "clear; echo run-$run; stty -g >$dir/before; sh -c 'echo \$\$ >$dir/pid; exec $probe'; echo status=\$?; stty -g >$dir/after" Enter
    for _ in $(seq 100); do
        screen=$(tm capture-pane -p -t t)
        [ "$(echo "$screen" | head -1)" = "run-$run" ] && echo "$screen" | grep -qE '^>> ?$' && return 0
        sleep 0.1
    done
    fail "run $run: no prompt"
}
same_modes() {
    expect "status=$1"
    sleep 0.2
    if ! cmp -s "$dir/before" "$dir/after"; then
        fail "terminal modes differ after $2: $(cat "$dir/before") / $(cat "$dir/after")"
    fi
}

# Editing keys, history, a wide character, Ctrl-D on an empty line.
start
tm send-keys -t t 'abc' Left Left 'X' Enter
expect '^\[aXbc\]$'
tm send-keys -t t 'zz' Home 'y' End 'w' Enter
expect '^\[yzzw\]$'
tm send-keys -t t '12345' Home Delete Right BSpace End BSpace Enter
expect '^\[34\]$'
tm send-keys -t t Up Up Enter
expect_count '^\[yzzw\]$' 2
tm send-keys -t t '中文x' Left 'y' Enter
expect '^\[中文yx\]$'
tm send-keys -t t 'paste1' Enter 'paste2' Enter  # lines typed ahead are all kept
expect '^\[paste1\]$'
expect '^\[paste2\]$'
tm send-keys -t t 'abc' C-a C-k 'q' Enter
same_modes 0 "q"

# A line longer than the window, edited after a resize.
start
tm resize-window -t t -x 20 2>/dev/null || tm resize-pane -t t -x 20
sleep 0.3
tm send-keys -t t 'abcdefghijklmnopqrstuvwxyz' Home 'X' End '!' Enter
expect '^\[Xabcdefghijklmnopq'
tm send-keys -t t C-d
expect '^quit$'
same_modes 0 "Ctrl-D"
tm resize-window -t t -x 40 2>/dev/null || tm resize-pane -t t -x 40

# Ctrl-C in the middle of a line.
start
tm send-keys -t t 'abc' Left C-c
expect '^quit$'
same_modes 0 "Ctrl-C"

# A fatal signal and SIGTERM while the editor waits for a key.
for sig in SEGV TERM; do
    start
    tm send-keys -t t 'abc'
    sleep 0.2
    kill -s "$sig" "$(cat "$dir/pid")"
    same_modes '[0-9]+' "SIG$sig"
done

[ $failed -eq 0 ] && echo "terminal: all passed"
exit $failed
