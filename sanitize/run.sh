#!/usr/bin/env bash
# Memory-safety runs of the Python layer.
#
#   asan      builds the extension with AddressSanitizer and
#             UndefinedBehaviorSanitizer into its own virtual environment
#             (never the everyday one) and runs the whole Python test suite
#             under it, leak detection on;
#   valgrind  runs memcheck over sanitize/memcheck_workload.py on the
#             everyday build installed in $VENV.
#
# Usage: sanitize/run.sh [asan|valgrind|all]        (default: all)
# SANITIZE_FULL_STACKS=1 unwinds every allocation fully: leak reports then
# show the Python frames too, at about five times the run time.
# SANITIZE_TESTS names the tests of the asan run (default: tests/python).
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(dirname "$HERE")
cd "$ROOT"

VENV=${VENV:-.venv}
SAN_VENV=${SAN_VENV:-build/sanitize-venv}
SAN_BUILD=build/sanitize
LOGS=build/sanitize-logs
CXX=${CXX:-g++}

say() { printf '\n== %s\n' "$*"; }

# Whether a report is about the interpreter or the extensions: the programs
# a test or a documented command runs besides them (tail, for one) inherit
# the preloaded runtime too, and their own leaks are none of ours.
ours() {
    grep -qE 'python|\.abi3\.so|Modules/|Objects/|Python/|src/(protocol|device|recording|live|python)/' "$1"
}

# The folder and command line of the Python process whose report is $1
# (its file ends in the pid), as site/sitecustomize.py noted them.
command_of() {
    local noted=$LOGS/asan-pids/${1##*.}
    [ -f "$noted" ] && sed 's/^/    made by: /' "$noted"
    return 0
}

# Prints the reports found under $1 and fails when there are any.
reports_or_clean() {
    local dir=$1 files f
    files=$(for f in $(find "$dir" -type f -size +0 | sort); do
        if ours "$f"; then echo "$f"; else echo "sanitize: not the interpreter's, left out: $f" >&2; fi
    done)
    [ -z "$files" ] && return 0
    for f in $files; do
        printf -- '--- %s\n' "$f"
        command_of "$f"
        cat "$f"
    done
    echo "sanitize: $(echo "$files" | wc -l) report(s) in $dir" >&2
    return 1
}

# The interpreter the sanitized environment is made from: the one $VENV was
# made from, so that the run checks what `make install` built for (and the
# leak suppressions match what that interpreter leaks at exit), unless
# PYTHON names another; tools/python.sh's choice when there is no $VENV.
sanitize_python() {
    local found
    if [ -z "${PYTHON:-}" ] && found=$("$VENV/bin/python" -c 'import os, sys
print(os.path.join(sys.base_prefix, "bin", "python%d.%d" % sys.version_info[:2]))' 2>/dev/null) &&
        [ -x "$found" ]; then
        echo "$found"
    else
        found=$(bash tools/python.sh) && echo "${found#* }"
    fi
}

sanitized_venv() {
    local python version
    python=$(sanitize_python) || return 1
    version=$("$python" -c 'import sys; print(sys.version)') || return 1
    if [ ! -f "$SAN_VENV/.ready" ] || [ requirements-dev.txt -nt "$SAN_VENV/.ready" ] ||
        [ "$("$SAN_VENV/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null)" != "$version" ]; then
        say "virtual environment $SAN_VENV: $python"
        rm -rf "$SAN_VENV" "$SAN_BUILD" &&
            "$python" -m venv "$SAN_VENV" &&
            "$SAN_VENV/bin/python" -m pip install -q --upgrade pip &&
            "$SAN_VENV/bin/python" -m pip install -q -r requirements-dev.txt &&
            touch "$SAN_VENV/.ready" || return 1
    fi
    say "extension with AddressSanitizer and UndefinedBehaviorSanitizer ($SAN_BUILD)"
    "$SAN_VENV/bin/python" -m pip install -q --no-build-isolation --force-reinstall --no-deps \
        -C cmake.define.AHRS_SANITIZE=ON -C cmake.build-type=RelWithDebInfo -C build-dir="$SAN_BUILD" .
}

run_asan() {
    sanitized_venv || { echo "sanitize: the sanitized build failed" >&2; return 1; }
    local libasan unwind=""
    libasan=$("$CXX" -print-file-name=libasan.so)
    [ -f "$libasan" ] || { echo "sanitize: no libasan.so for $CXX" >&2; return 1; }
    [ "${SANITIZE_FULL_STACKS:-0}" = 1 ] && unwind=":fast_unwind_on_malloc=0"
    local reports=$LOGS/asan tmp=$LOGS/asan-tmp
    rm -rf "$reports" "$tmp" "$LOGS/asan-pids" && mkdir -p "$reports" "$LOGS/asan-pids"

    say "Python test suite under AddressSanitizer, leak detection on"
    local start=$SECONDS status=0
    # Every interpreter the suite starts inherits this environment, so the
    # subprocesses are checked too. AddressSanitizer writes each process's
    # reports to a file of its own; UndefinedBehaviorSanitizer writes to
    # descriptor 2 and stops the process, so pytest captures at the Python
    # level only, and the files behind the tests' own descriptor captures
    # are searched afterwards.
    # The C++ runtime is preloaded too, so that the sanitizer finds it when it
    # catches the first exception thrown by any extension module (its own
    # lookup at start-up would find none in a C program).
    env LD_PRELOAD="$libasan $("$CXX" -print-file-name=libstdc++.so)" \
        PYTHONMALLOC=malloc \
        PYTHONPATH="$HERE/site${PYTHONPATH:+:$PYTHONPATH}" \
        AHRS_SANITIZE_PIDS="$ROOT/$LOGS/asan-pids" \
        ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1:strict_init_order=1:log_path=$ROOT/$reports/asan$unwind" \
        LSAN_OPTIONS="suppressions=$HERE/lsan.supp:print_suppressions=0" \
        UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        "$SAN_VENV/bin/python" -m pytest -q -p no:cacheprovider --capture=sys --basetemp="$tmp" ${SANITIZE_TESTS:-tests/python} \
        2>&1 | tee "$LOGS/asan-pytest.log" || status=$?
    echo "asan: test suite exit status $status after $((SECONDS - start)) s"
    local f
    for f in $(grep -rl -e "runtime error:" -e "ERROR: AddressSanitizer" "$tmp" 2>/dev/null); do
        cp "$f" "$reports/captured.$(basename "$f")"
    done
    if grep -q "runtime error:" "$LOGS/asan-pytest.log"; then status=1; fi
    if ! reports_or_clean "$reports"; then
        status=1
        echo "sanitize: SANITIZE_FULL_STACKS=1 shows the Python frames of leak reports" >&2
    fi
    return $status
}

run_valgrind() {
    command -v valgrind >/dev/null || { echo "sanitize: valgrind is not installed" >&2; return 1; }
    "$VENV/bin/python" -c "import tavrin_ahrs_driver" || { echo "sanitize: no module in $VENV (make install)" >&2; return 1; }
    rm -rf "$LOGS/valgrind" && mkdir -p "$LOGS/valgrind"

    say "memcheck over sanitize/memcheck_workload.py ($VENV build)"
    local start=$SECONDS status=0
    PYTHONMALLOC=malloc valgrind -q --tool=memcheck \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        --error-exitcode=99 --num-callers=30 \
        --log-file="$LOGS/valgrind/memcheck.%p.log" \
        "$VENV/bin/python" "$HERE/memcheck_workload.py" || status=$?
    echo "valgrind: exit status $status after $((SECONDS - start)) s"
    if [ "$status" -ne 0 ]; then
        cat "$LOGS"/valgrind/memcheck.*.log
        return "$status"
    fi
}

what=${1:-all}
case "$what" in
    asan) run_asan ;;
    valgrind) run_valgrind ;;
    all)
        status=0
        run_asan || status=1
        run_valgrind || status=1
        [ "$status" -eq 0 ] && echo "sanitize: clean"
        exit "$status"
        ;;
    *) echo "usage: $0 [asan|valgrind|all]" >&2; exit 2 ;;
esac
