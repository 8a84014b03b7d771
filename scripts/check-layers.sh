#!/usr/bin/env bash
# Checks the layering rule: a source file includes only headers of its own
# layer and of lower ones. Layers, lowest first:
#   0 runtime/ (with runtime/platform/)
#   1 datatypes/, loader/
#   2 evaluator/
#   3 boot/, console/, library/, view/ (with view/terminal/)
# A lower layer that must reach up offers a callback that the upper one
# registers at start-up. Prints every upward include; fails when there is one.
# One pass: a single grep reads every include line, awk ranks both ends.
#   scripts/check-layers.sh [repository root]
set -u
cd "${1:-$(dirname "$0")/..}" || exit 2

grep -rHE --include='*.h' --include='*.cpp' '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' \
    runtime datatypes loader evaluator boot console library view 2>/dev/null |
LC_ALL=C sort |
awk '
function rank(path,   top) {
    top = path; sub(/\/.*/, "", top)
    if (top == "runtime") return 0
    if (top == "datatypes" || top == "loader") return 1
    if (top == "evaluator") return 2
    if (top == "boot" || top == "console" || top == "library" || top == "view") return 3
    return -1
}
{
    colon = index($0, ":")
    file = substr($0, 1, colon - 1)
    line = substr($0, colon + 1)
    sub(/^[^"]*"/, "", line); sub(/".*/, "", line)
    from = rank(file); to = rank(line)
    if (from >= 0 && to > from) { print "upward include: " file " -> " line; bad = 1 }
}
END {
    if (bad) exit 1
    print "layers: no upward include"
}'
