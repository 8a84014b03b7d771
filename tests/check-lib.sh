# Shared by the process-boundary test scripts: a scratch folder to run in and
# a check that counts failures.
#   . tests/check-lib.sh path/to/zav
zav=$(realpath "$1")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
fail=0
check() {  # name, expected, actual
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1"; echo "  expected: $2"; echo "  actual:   $3"; fail=$((fail + 1))
    fi
}
