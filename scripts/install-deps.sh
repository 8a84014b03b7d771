#!/usr/bin/env bash
# Installs the Debian packages one kind of work needs, and nothing more:
#   scripts/install-deps.sh [run|test|fuzz|bench]...
#   run    building and running zav (the default)
#   test   the above, and what the tests need (GoogleTest, zlib to check
#          interoperation, tmux for the terminal tests, python3 for the HTTP server)
#   fuzz   the above for running, and clang with its sanitizer runtimes
#   bench  the above for running, Google Benchmark and the reference interpreters
# Idempotent and silent when everything is present already. No release-specific
# versions: the distribution's default of each package.
set -euo pipefail

run_packages=(
  g++ cmake ninja-build make pkg-config
  libcurl4-openssl-dev libssl-dev
  libpng-dev libjpeg-dev libgif-dev libtiff-dev
)
test_packages=(
  libgtest-dev libgmock-dev zlib1g-dev
  tmux python3
)
fuzz_packages=(
  clang libclang-rt-dev
)
bench_packages=(
  libbenchmark-dev
  python3 lua5.4 time
)

[ $# -eq 0 ] && set -- run
packages=("${run_packages[@]}")
for kind in "$@"; do
  case "$kind" in
    run) ;;
    test) packages+=("${test_packages[@]}") ;;
    fuzz) packages+=("${fuzz_packages[@]}") ;;
    bench) packages+=("${bench_packages[@]}") ;;
    *) echo "install-deps.sh: unknown kind '$kind' (run, test, fuzz or bench)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    case " ${missing[*]-} " in *" $p "*) ;; *) missing+=("$p") ;; esac
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
# Root installs directly; anyone else through sudo, when there is one.
SUDO=()
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    echo "install-deps.sh: not root and no sudo; install these as root: ${missing[*]}" >&2
    exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
