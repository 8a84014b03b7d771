#!/usr/bin/env bash
# The whole console on a real terminal, driven through tmux: Tab completion
# of words, paths and files at the prompt, Esc, halt, hidden input, quit with a status,
# Ctrl-C at the prompt and while code runs, Ctrl-D, and the history kept in
# the settings file from one run to the next. The terminal's modes (stty -g)
# must be the same after every run as before it. Skipped when tmux is
# missing or cannot start a server.
#   tests/run-console-terminal.sh path/to/zav
set -u
zav=$(realpath "$1")
source "$(dirname "$0")/tmux-session.sh"
tmux_session console 60
mkdir -p "$dir/work/sub"
touch "$dir/work/zzfile-one.txt" "$dir/work/zzfile-two.txt" "$dir/work/sub/only-file.zav"
start() { start_run "$zav"; }

# Completion of a word, after a set-word, of a refinement, of a file; a
# prefix shared by several files lists them and keeps the common part.
start
tm send-keys -t t 'x: to-bl' Tab ' "a b"' Enter
expect '^== \[a b\]$'
tm send-keys -t t 'append/on' Tab ' [] [1]' Enter
expect '^== \[\[1\]\]$'
tm send-keys -t t 'system/options/bin' Tab Enter
expect '^== 16$'
tm send-keys -t t '%sub/on' Tab Enter
expect '^== %sub/only-file.zav$'
tm send-keys -t t '%zzf' Tab
expect 'zzfile-one.txt +zzfile-two.txt'
expect_last '^>> %zzfile-$'
tm send-keys -t t 'two.txt' Enter
expect '^== %zzfile-two.txt$'
# Esc abandons the line, also one spanning several (where Ctrl-C does not
# quit but adds a line "q"), and halt returns.
tm send-keys -t t '[1' Enter
expect_last '^\[ *$'
tm send-keys -t t '2' Enter C-c
expect_count '^\[ *$' 2
tm send-keys -t t Escape
expect '^\(escape\)$'
tm send-keys -t t 'loop 3 [halt]' Enter
expect '^\(halted\)$'
tm send-keys -t t '1 + 2' Enter
expect '^== 3$'
# Hidden input shows stars and stays out of the history.
tm send-keys -t t 'ask/hide "pw: "' Enter
expect_last '^pw: ?$'
tm send-keys -t t 'abc'
expect_last '^pw: \*\*\*$'
tm send-keys -t t Enter
expect '^== "abc"$'
tm send-keys -t t 'quit/return 3' Enter
same_modes 3 "quit/return 3"
cfg="$dir/home/.zav/Zav-Console/console-cfg.zav"
grep -q '"1 + 2"' "$cfg" 2>/dev/null || fail "history not saved: $(cat "$cfg" 2>&1)"
grep -q '"abc"' "$cfg" 2>/dev/null && fail "hidden input in the history: $(cat "$cfg")"

# History recall across a restart: the newest line first, then older ones.
start
tm send-keys -t t Up
expect_last '^>> quit/return 3$'
tm send-keys -t t Up Up Enter
expect_count '^== 3$' 1
# Ctrl-C at the prompt quits as q does (the history is saved). Sent once
# the prompt is back: before it, the terminal would still turn Ctrl-C into
# an interrupt of the running code.
expect_last '^>> ?$'
tm send-keys -t t 'abc' C-c
same_modes 0 "Ctrl-C at the prompt"
grep -q '"1 + 2" "quit/return 3" {ask/hide "pw: "} "1 + 2"' "$cfg" 2>/dev/null || fail "history after Ctrl-C: $(cat "$cfg" 2>&1)"

# Ctrl-C while code runs ends the process (nothing saved); Ctrl-D on an
# empty line quits.
start
tm send-keys -t t 'forever []' Enter
sleep 0.3
tm send-keys -t t C-c
same_modes 130 "Ctrl-C while running"
start
tm send-keys -t t C-d
same_modes 0 "Ctrl-D"

[ $failed -eq 0 ] && echo "console terminal: all passed"
exit $failed
