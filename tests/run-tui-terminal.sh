#!/usr/bin/env bash
# Faces shown on a real terminal, driven through tmux: a field edited with
# the caret keys, Tab to the next face, check and radio boxes, a text list,
# a progress bar moved by a timer, mouse clicks, a resize, Esc closing the
# windows, alert, request-file in a folder of its own, and a full-screen
# window on the alternate screen. After every run, however it ended (the
# loop's end, quit from an actor, Ctrl-C, SIGTERM, SIGHUP, a fatal signal,
# an error), the terminal must be as before: the same modes (stty -g), the
# cursor shown, no mouse reports, the main screen. Then a UI run with standard input from a pipe
# must leave the input unread and take little processor time. Skipped when
# tmux is missing or cannot start a server.
#   tests/run-tui-terminal.sh path/to/zav tests/tui
set -u
zav=$(realpath "$1")
scripts=$(realpath "$2")
source "$(dirname "$0")/tmux-session.sh"
tmux_session tui 80
tm resize-window -t t -y 24 2>/dev/null

# Cursor shown, mouse reports, SGR mouse, alternate screen: as tmux sees them.
modes() { tm display -p -t t '#{cursor_flag} #{mouse_any_flag} #{mouse_sgr_flag} #{alternate_on}'; }
# Runs a UI script (after a prefix, such as a timeout) and waits until the
# pane shows the pattern.
ui() {
    run=$((run + 1))
    tm send-keys -t t "clear; echo run-$run; stty -g >$dir/before; ${3:-} $zav $scripts/$1; echo status=\$?; stty -g >$dir/after" Enter
    wait_for "$2" || fail "run $run ($1): the UI did not show $2"
}
# The run ended with the status and left the terminal as it found it.
restored() {
    same_modes "$1" "$2"
    [ "$(modes)" = "1 0 0 0" ] || fail "$2: the terminal was left with cursor, mouse, SGR, alternate = $(modes)"
}
# The pattern anywhere in what the pane showed, also what scrolled away.
expect_seen() {
    tm capture-pane -p -S - -t t | grep -qE -- "$1" || fail "never shown: $1"
}
# A mouse press and release at a column and row of the terminal (from 1).
click() { tm send-keys -t t -l $'\e'"[<0;$1;$2M"$'\e'"[<0;$1;$2m"; }
# Waits until no line of the pane matches the pattern.
wait_gone() {
    for _ in $(seq $patience); do
        tm capture-pane -p -t t | grep -qE -- "$1" || return 0
        sleep 0.1
    done
    fail "still shown: $1"
}
# The row (from 1) of the last line that matches.
row_of() { tm capture-pane -p -t t | grep -nE -- "$1" | tail -1 | cut -d: -f1; }

# A field: typing, Left, Backspace and insertion at the caret; Tab to the
# second field; Tab to the button and Space.
ui field.zav 'Name\?'
tm send-keys -t t 'hello' Left Left BSpace X
expect 'Name\? +heXlo'
tm send-keys -t t Tab 'ok' Tab ' '
expect '^text: "heXlo" other: "ok"$'
expect '^after the loop$'
restored 0 "a field and a button"

# Check and radio boxes toggled with Space, a text list moved with Down
# (each move a change), a progress bar the timer fills.
ui boxes.zav 'Check'
expect '\[#{18}\]'
expect '^filled$'
tm send-keys -t t ' ' Tab ' ' Tab Tab Down Down
expect '^picked 3$'
expect '🞕 Check ◉ One ○ Two'
tm send-keys -t t Escape
expect '^check true one true two none list 3 ticks 10$'
restored 0 "check, radio, text list and progress"

# Collecting at every allocation, the runs above and the ways out below
# suffice: each start takes seconds then.
stress() { [ "${ZAV_GC_STRESS:-0}" = 1 ]; }
if ! stress; then

# Mouse clicks; the screen size as it is after a resize; Esc closes.
ui mouse.zav 'nothing'
[ "$(modes)" = "0 1 1 0" ] || fail "mouse reports not on while the UI runs: $(modes)"
sleep 0.3  # the UI's place on the terminal comes from the cursor report it asked for
click 22 "$(row_of 'Size +Hit')"
expect '^hit$'
expect 'hit +Size'
tm resize-window -t t -x 60 -y 20
sleep 0.3
click 16 "$(row_of 'Size +Hit')"
expect '^size 60x20$'
tm resize-window -t t -x 80 -y 24
tm send-keys -t t Escape
expect '^closed$'
restored 0 "mouse and resize"

# alert: Space closes it; an alert from a button comes back to its window.
ui alert.zav 'Saved 3'
tm send-keys -t t ' '
expect '^after alert$'
wait_for 'Alert +Done' || fail "alert: the second window did not show"
tm send-keys -t t ' '
expect 'Again'
tm send-keys -t t Enter
wait_for 'Alert +Done' || fail "alert: not back to its window"
tm send-keys -t t Tab ' '
expect '^done$'
restored 0 "alert"

# request-file in a folder of its own: the files list, a file picked with
# Enter, the action button; then cancelled.
mkdir -p "$dir/work/pick/sub"
touch "$dir/work/pick/a.txt" "$dir/work/pick/b.log"
ui request-file.zav 'Please choose a file:' "PICK=$dir/work/pick"
expect 'a.txt'
tm send-keys -t t Tab Down Enter
expect 'Selected: +b.log'
tm send-keys -t t Tab Tab ' '
wait_gone 'Selected: +b.log'
wait_for 'Please choose a file:' || fail "request-file: the second requester did not show"
tm send-keys -t t Escape
expect '^cancelled none$'
expect_seen "^picked %$dir/work/pick/b.log\$"
restored 0 "request-file"
fi

# quit from an actor.
ui quit.zav 'Quit +Oops'
tm send-keys -t t ' '
restored 3 "quit from an actor"
# An error in an actor is printed and the loop goes on; one that leaves
# the loop ends the script with the terminal restored.
ui quit.zav 'Quit +Oops'
tm send-keys -t t Tab ' '
expect 'Math Error'
wait_for 'Quit +Oops +Break' || fail "the UI did not come back after an error"
tm send-keys -t t Tab ' '
expect 'awake broke'
restored 254 "an error out of the loop"
# Ctrl-C.
ui field.zav 'Name\?'
tm send-keys -t t C-c
restored 130 "Ctrl-C"

# A full-screen window on the alternate screen, left by Esc, and by SIGTERM.
if ! stress; then
ui fullscreen.zav 'full screen'
[ "$(modes | cut -d' ' -f4)" = 1 ] || fail "full screen: not on the alternate screen: $(modes)"
tm send-keys -t t Escape
expect '^back on the main screen$'
restored 0 "full screen"
ui fullscreen.zav 'full screen' "timeout --foreground -s TERM 2"
restored 124 "SIGTERM"
ui fullscreen.zav 'full screen' "timeout --foreground -s HUP 2"
restored 124 "SIGHUP"
# A fatal signal, with mouse reports on.
ui mouse.zav 'nothing' "timeout --foreground -s SEGV 2"
expect 'Runtime Error'
restored 124 "a fatal signal"
fi

[ $failed -eq 0 ] || exit 1

# Standard input from a pipe: never read by the loop, and no busy waiting.
out=$( { TIMEFORMAT='%U %S %R'; time (echo x | "$zav" "$scripts/ticks.zav"); } 2>&1 )
echo "$out" | grep -q '^ticks 20$' || { echo "FAIL: piped input: $out"; exit 1; }
echo "$out" | grep -q '^input still there: "x"$' || { echo "FAIL: the loop read standard input: $out"; exit 1; }
read -r user sys real <<<"$(echo "$out" | tail -1)"
# (Collecting at every allocation makes start-up itself take the time.)
stress || awk -v u="$user" -v s="$sys" -v r="$real" 'BEGIN { exit !(u + s < r / 4) }' ||
    { echo "FAIL: processor time $user + $sys of $real seconds"; exit 1; }
# A terminal that goes away while the UI runs (its hang-up ignored, as under
# nohup): the loop sleeps between its timer events instead of spinning.
if command -v python3 >/dev/null && ! stress; then
    out=$(python3 - "$zav" "$scripts/ticks.zav" <<'PY'
import os, pty, resource, signal, subprocess, sys, time
master, slave = pty.openpty()
# Children's time survives exec: a python3 started by a wrapper script that ran
# programs of its own has their time counted already.
before = resource.getrusage(resource.RUSAGE_CHILDREN)
p = subprocess.Popen(sys.argv[1:], stdin=slave, stdout=slave, stderr=slave,
                     preexec_fn=lambda: signal.signal(signal.SIGHUP, signal.SIG_IGN))
os.close(slave)
time.sleep(0.3)
os.close(master)
start = time.time()
try:
    p.wait(timeout=20)
except subprocess.TimeoutExpired:
    p.kill()
    p.wait()
used = resource.getrusage(resource.RUSAGE_CHILDREN)
cpu = used.ru_utime + used.ru_stime - before.ru_utime - before.ru_stime
print("%.2f %.2f" % (cpu, time.time() - start))
PY
)
    read -r cpu wall <<<"$out"
    awk -v c="$cpu" -v w="$wall" 'BEGIN { exit !(c < w / 2) }' ||
        { echo "FAIL: with the terminal gone: processor time $cpu of $wall seconds"; exit 1; }
fi
echo "tui terminal: all passed"
