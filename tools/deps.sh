#!/usr/bin/env bash
# The one list of system packages the project's make targets need, by group.
# Installs what is missing (as root, through apt-get, after one update), or
# names the exact command to run and stops. Does nothing when all is there.
#
# Usage: tools/deps.sh GROUP...      groups: python build test fuzz sanitize all
set -euo pipefail

# What Debian's Python needs to make a virtual environment and build an
# extension; an interpreter that is not Debian's (one built by hand, or a
# version manager's) brings its own. No Python at all: Debian's.
python_packages() {
    local found interpreter version
    found=$(bash "$(dirname "$0")/python.sh" 2>/dev/null) || { echo "python3 python3-venv python3-dev"; return; }
    version=${found%% *}
    interpreter=$(readlink -f "${found#* }")
    dpkg-query -S "$interpreter" >/dev/null 2>&1 || return 0
    echo "python$version-venv python$version-dev"
    [ "$(readlink -f /usr/bin/python3)" = "$interpreter" ] && echo "python3-venv python3-dev"
    return 0
}

packages_of() {
    case $1 in
        python) command -v dpkg-query >/dev/null && python_packages ;;  # venv and headers of the Python found
        build) echo "libdragonbox-dev"                 # shortest float digits (header-only; std::to_chars without it)
            echo "libzstd-dev"                         # zstd-compressed MCAP chunks (stored without it)
            command -v c++ >/dev/null || echo "g++" ;;  # a C++20 compiler, when there is none
        test) echo "libgtest-dev" ;;                   # the native tests
        fuzz) echo "clang-14 libclang-rt-14-dev" ;;    # libFuzzer and its sanitizer runtime
        sanitize) echo "valgrind" ;;                   # memcheck run (AddressSanitizer comes with g++)
        all) echo "$(packages_of python) $(packages_of build) $(packages_of test) $(packages_of fuzz) $(packages_of sanitize)" ;;
        *) echo "deps: unknown group '$1' (groups: python build test fuzz sanitize all)" >&2; exit 2 ;;
    esac
}

installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]; }

wanted=()
for group in "$@"; do
    for pkg in $(packages_of "$group"); do wanted+=("$pkg"); done
done

missing=()
for pkg in "${wanted[@]+"${wanted[@]}"}"; do
    if ! command -v dpkg-query >/dev/null; then
        echo "deps: not a Debian system; install the equivalents of: ${wanted[*]}" >&2
        exit 1
    fi
    installed "$pkg" || missing+=("$pkg")
done
((${#missing[@]})) || exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "deps: missing system packages; run: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
echo "deps: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
