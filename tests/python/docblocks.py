"""Runs the code blocks of one documentation page, in order, in the current
directory: ```python blocks in one shared namespace, ```sh blocks in bash,
each in a process group of its own that is ended with the block, so a
simulator a block leaves in the background goes with it. A block preceded
by the line `<!-- illustration -->` is shown, not run.

    python docblocks.py PAGE.md      exit 0 when every block ran, 1 naming the first that failed
"""

import contextlib
import os
import re
import signal
import subprocess
import sys
import traceback

ILLUSTRATION = "<!-- illustration -->"
FENCE = re.compile(r"^```(\w*)\s*$")
BLOCK_SECONDS = 90


def blocks(text):
    """(language, first line number, code) of each runnable block of a page."""
    found, lines, i = [], text.splitlines(), 0
    while i < len(lines):
        opened = FENCE.match(lines[i])
        if not opened:
            i += 1
            continue
        end = next((j for j in range(i + 1, len(lines)) if lines[j].startswith("```")), len(lines))
        before = next((lines[j].strip() for j in range(i - 1, -1, -1) if lines[j].strip()), "")
        if opened.group(1) in ("python", "sh") and before != ILLUSTRATION:
            found.append((opened.group(1), i + 2, "\n".join(lines[i + 1 : end]) + "\n"))
        i = end + 1
    return found


def run_shell(code):
    proc = subprocess.Popen(["bash", "-euo", "pipefail", "-c", code], start_new_session=True)
    try:
        return proc.wait(timeout=BLOCK_SECONDS)
    except subprocess.TimeoutExpired:
        return f"still running after {BLOCK_SECONDS} s"
    finally:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGTERM)


def main(page):
    namespace = {"__name__": "__main__"}
    with open(page, encoding="utf-8") as f:
        text = f.read()
    for language, line, code in blocks(text):
        where = f"{page}:{line}"
        print(f"--- {where} ({language})", flush=True)
        if language == "sh":
            status = run_shell(code)
            if status != 0:
                print(f"FAILED {where}: exit status {status}", flush=True)
                return 1
            continue
        try:
            exec(compile(code, where, "exec"), namespace)
        except BaseException:
            traceback.print_exc()
            print(f"FAILED {where}", flush=True)
            return 1
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
