# Sourced by the tests that drive a program on a real terminal through tmux.
#   tmux_session NAME COLUMNS
# starts a private tmux server with one pane of COLUMNS x 20 running bash in
# $dir/work with HOME at $dir/home (and ZAV_GC_STRESS passed on), or exits 0
# with "skipped" when tmux is missing or cannot start. $dir is a scratch
# folder removed at exit.
set -u
tmux_session() {
    command -v tmux >/dev/null || { echo "skipped: no tmux"; exit 0; }
    dir=$(mktemp -d)
    mkdir -p "$dir/home" "$dir/work"
    sock="zav-$1-$$"
    trap 'tm kill-server 2>/dev/null; rm -rf "$dir"' EXIT
    if ! tm new-session -d -s t -x "$2" -y 20 \
        "cd $dir/work && env -i PATH=$PATH TERM=screen HOME=$dir/home HISTFILE=/dev/null ${ZAV_GC_STRESS:+ZAV_GC_STRESS=$ZAV_GC_STRESS} bash --norc --noprofile" 2>/dev/null; then
        echo "skipped: tmux cannot start"
        exit 0
    fi
    tm set-option -g escape-time 0 2>/dev/null
}
tm() { tmux -L "$sock" -f /dev/null "$@"; }

failed=0
fail() {
    echo "FAIL: $1"
    tm capture-pane -p -t t | grep -v '^$' | sed 's/^/  | /'
    failed=1
}
# How many tenths of a second a wait lasts: 10 s, or 40 s when every
# allocation collects (start-up alone is then many times slower, and more
# so on a loaded machine).
patience=100
[ "${ZAV_GC_STRESS:-0}" = 1 ] && patience=400
# Waits for the pane to show a line matching the pattern.
wait_for() {
    for _ in $(seq $patience); do
        tm capture-pane -p -t t | grep -qE -- "$1" && return 0
        sleep 0.1
    done
    return 1
}
expect() { wait_for "$1" || fail "expected: $1"; }
# Waits for the pattern to match exactly n lines.
expect_count() {
    for _ in $(seq $patience); do
        [ "$(tm capture-pane -p -t t | grep -cE -- "$1")" -eq "$2" ] && return 0
        sleep 0.1
    done
    fail "expected $2 lines of: $1"
}
# Waits until the last line that is not empty matches the pattern.
expect_last() {
    for _ in $(seq $patience); do
        tm capture-pane -p -t t | grep -v '^$' | tail -1 | grep -qE -- "$1" && return 0
        sleep 0.1
    done
    fail "expected as the last line: $1"
}

# One run of a command between two readings of the terminal's modes. Keys
# are sent only once the program's prompt ">> " shows (it draws it in raw
# mode): the marker on the first row tells it from the screen of the run before.
run=0
start_run() {
    run=$((run + 1))
    tm send-keys -t t "clear; echo run-$run; stty -g >$dir/before; $1; echo status=\$?; stty -g >$dir/after" Enter
    for _ in $(seq $patience); do
        screen=$(tm capture-pane -p -t t)
        [ "$(echo "$screen" | head -1)" = "run-$run" ] && echo "$screen" | grep -qE '^>> ?$' && return 0
        sleep 0.1
    done
    fail "run $run: no prompt"
}
# The run ended with the status (a pattern) and left the modes as they were.
same_modes() {
    expect "status=$1\$"
    sleep 0.2
    if ! cmp -s "$dir/before" "$dir/after"; then
        fail "terminal modes differ after $2: $(cat "$dir/before") / $(cat "$dir/after")"
    fi
}
