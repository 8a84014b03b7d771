#!/usr/bin/env bash
# The line editor on a real terminal, driven through tmux: typing, the editing
# keys, history recall, a wide character, a resize, and the terminal's modes
# (stty -g) the same after every way out: Ctrl-D, Ctrl-C, a fatal signal and
# SIGTERM. Skipped when tmux is missing or cannot start a server.
#   tests/run-terminal.sh PROBE
set -u
probe=$(realpath "$1")
source "$(dirname "$0")/tmux-session.sh"
tmux_session terminal 40
start() { start_run "sh -c 'echo \$\$ >$dir/pid; exec $probe'"; }

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
