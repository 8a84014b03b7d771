#!/usr/bin/env bash
# The debugger's prompt "debug> " on a real terminal, driven through tmux:
# stepping, the stack display, continue and quit; the lines typed at the
# prompt leave the console history when the run ends, and the terminal's
# modes are the same after the console as before it. Skipped without tmux.
#   tests/run-debugger-terminal.sh path/to/zav
set -u
zav=$(realpath "$1")
source "$(dirname "$0")/tmux-session.sh"
tmux_session debugger 80

start_run "$zav"
tm send-keys -t t 'f: func [a] [a + 1]' Enter
expect '^== func \[a\]\[a \+ 1\]$'
tm send-keys -t t 'debug [x: f 1 print x]' Enter
expect '^-----> EVAL x:$'
expect_last '^debug> ?$'
# Enter steps to the next event; s shows the expression stack.
tm send-keys -t t Enter
expect '^-----> PUSH x:$'
tm send-keys -t t 's' Enter
expect_count '^Stack: x:$' 2
tm send-keys -t t 'n' Enter
expect '^-----> EVAL f$'
# continue runs to the end unobserved, back at the console's prompt.
tm send-keys -t t 'c' Enter
expect '^2$'
expect_last '^>> ?$'
# The lines typed at "debug> " are not in the history: Up gives the debug line.
tm send-keys -t t Up
expect_last '^>> debug \[x: f 1 print x\]$'
tm send-keys -t t Escape
expect '^\(escape\)$'
tm send-keys -t t 'debug [1 + 2]' Enter
expect '^-----> EVAL 1$'
tm send-keys -t t 'q' Enter
expect '^\(halted\)$'
expect_last '^>> ?$'
# quit halts the run; the debug options are back as they were.
tm send-keys -t t 'system/tools/options/debug/active?' Enter
expect '^== false$'
tm send-keys -t t 'quit' Enter
same_modes 0 "quit after debugging"

[ $failed -eq 0 ] && echo "debugger terminal: all passed"
exit $failed
