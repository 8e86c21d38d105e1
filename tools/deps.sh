#!/usr/bin/env bash
# The one list of system packages the project's make targets need, by group.
# Installs what is missing (as root, through apt-get, after one update), or
# names the exact command to run and stops. Does nothing when all is there.
#
# Usage: tools/deps.sh GROUP...      groups: test fuzz sanitize build all
set -euo pipefail

packages_of() {
    case $1 in
        build) echo "libdragonbox-dev" ;;              # shortest float digits (header-only; std::to_chars without it)
        test) echo "libgtest-dev" ;;                   # the native tests
        fuzz) echo "clang-14 libclang-rt-14-dev" ;;    # libFuzzer and its sanitizer runtime
        sanitize) echo "valgrind" ;;                   # memcheck run (AddressSanitizer comes with g++)
        all) echo "$(packages_of build) $(packages_of test) $(packages_of fuzz) $(packages_of sanitize)" ;;
        *) echo "deps: unknown group '$1' (groups: build test fuzz sanitize all)" >&2; exit 2 ;;
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
