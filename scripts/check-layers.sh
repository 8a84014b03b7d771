#!/usr/bin/env bash
# Checks the layering rule: a source file includes only headers of its own
# layer and of lower ones. Layers, lowest first:
#   0 runtime/ (with runtime/platform/)
#   1 datatypes/, loader/
#   2 evaluator/
#   3 boot/, console/, library/, view/ (with view/terminal/)
# A lower layer that must reach up offers a callback that the upper one
# registers at start-up. Prints every upward include; fails when there is one.
#   scripts/check-layers.sh [repository root]
set -u
cd "${1:-$(dirname "$0")/..}" || exit 2

rank() {
    case "$1" in
        runtime) echo 0 ;;
        datatypes|loader) echo 1 ;;
        evaluator) echo 2 ;;
        boot|console|library|view) echo 3 ;;
        *) echo "" ;;
    esac
}

bad=0
while IFS= read -r file; do
    from=$(rank "${file%%/*}")
    [ -z "$from" ] && continue
    while IFS= read -r header; do
        to=$(rank "${header%%/*}")
        if [ -n "$to" ] && [ "$to" -gt "$from" ]; then
            echo "upward include: $file -> $header"
            bad=1
        fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find runtime datatypes loader evaluator boot console library view \
             -name '*.h' -o -name '*.cpp' 2>/dev/null | sort)
[ $bad -eq 0 ] && echo "layers: no upward include"
exit $bad
