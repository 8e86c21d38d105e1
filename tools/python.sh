#!/usr/bin/env bash
# The Python interpreters the build and the tests use, found on PATH.
#
#   tools/python.sh            the one to build with: $PYTHON when set, else
#                              python3.10 (the wheel targets its stable ABI),
#                              else python3 when it is 3.10 or later
#   tools/python.sh other X.Y  another python3.N (N >= 10) whose version is
#                              not X.Y, the lowest there is, for a second run
#                              of the tests; nothing when there is none
#
# Prints the version and the interpreter's own path (sys.executable), e.g.
# "3.11 /usr/bin/python3". A name on PATH is tried, not trusted: a version manager's shim may stand for a
# version that is not selected and fail when run.
set -euo pipefail

probe() {
    "$1" -c 'import sys; v = sys.version_info; print("%d.%d" % v[:2], sys.executable) if v >= (3, 10) else sys.exit(1)' 2>/dev/null
}

# The first NAME on PATH that runs as 3.10 or later, looking past those that
# do not.
on_path() {
    local dir IFS=:
    for dir in $PATH; do
        [ -x "$dir/$1" ] && probe "$dir/$1" && return
    done
    return 1
}

first() {
    if [ -n "${PYTHON:-}" ]; then
        probe "$PYTHON" && return
        echo "python: PYTHON=$PYTHON does not run as Python 3.10 or later" >&2
        exit 1
    fi
    on_path python3.10 || on_path python3 || {
        echo "python: no Python 3.10 or later on PATH (tried python3.10, python3); install one (Debian: apt-get install python3) or name it with PYTHON=..." >&2
        exit 1
    }
}

other() {
    local skip=$1 dir name found
    local -a names=()
    local IFS=:
    for dir in $PATH; do
        for name in "$dir"/python3.[1-9][0-9]; do
            [ -x "$name" ] && names+=("${name##*/}")
        done
    done
    IFS=$'\n'
    for name in $(printf '%s\n' "${names[@]+"${names[@]}"}" | sort -u -V); do
        found=$(on_path "$name") || continue
        [ "${found%% *}" = "$skip" ] || { echo "$found"; return; }
    done
}

case ${1:-first} in
    first) first ;;
    other) other "${2:?usage: tools/python.sh other X.Y}" ;;
    *) echo "usage: tools/python.sh [first | other X.Y]" >&2; exit 2 ;;
esac
