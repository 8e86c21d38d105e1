"""Every ```python and ```sh block of the README and of docs/*.md runs as
written, page by page, in a fresh directory where a simulated sensor streams
on ./ahrs and a 5-second recording flight.bin lies ready."""

import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import installed_script
from docblocks import blocks

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
RUNNER = Path(__file__).with_name("docblocks.py")


@pytest.fixture
def page_dir(tmp_path):
    subprocess.run(
        [installed_script("ahrs-sim"), "--record", "flight.bin", "--seconds", "5"],
        cwd=tmp_path,
        check=True,
        capture_output=True,
        timeout=60,
    )
    sim = subprocess.Popen(
        [installed_script("ahrs-sim"), "--link", "./ahrs", "--linger", "3600"],
        cwd=tmp_path,
        stdout=subprocess.PIPE,
        start_new_session=True,
    )
    sim.stdout.readline()  # the terminal's path: the link is there
    yield tmp_path
    os.killpg(sim.pid, signal.SIGTERM)
    sim.wait(timeout=30)


@pytest.mark.parametrize("page", [p for p in PAGES if blocks(p.read_text())], ids=lambda p: p.name)
def test_code_blocks_run(page, page_dir):
    env = {**os.environ, "PATH": f"{Path(sys.executable).parent}{os.pathsep}{os.environ['PATH']}", "MPLBACKEND": "Agg"}
    proc = subprocess.run(
        [sys.executable, str(RUNNER), str(page)],
        cwd=page_dir,
        env=env,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert proc.returncode == 0, proc.stdout[-4000:] + proc.stderr[-4000:]


def test_illustration_marker_and_languages_decide_what_runs():
    page = "\n".join(
        [
            "```python",
            "a = 1",
            "```",
            "<!-- illustration -->",
            "",
            "```python",
            "open('/dev/ttyACM0')",
            "```",
            "```text",
            "output",
            "```",
            "```sh",
            "echo $((1 + 1))",
            "```",
        ]
    )
    assert [(lang, line, code) for lang, line, code in blocks(page)] == [
        ("python", 2, "a = 1\n"),
        ("sh", 13, "echo $((1 + 1))\n"),
    ]
