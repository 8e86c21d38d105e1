"""The pieces `make` stands on: which Python interpreters it picks from PATH
(tools/python.sh), and the closing line of `make test` (tools/test_summary.py).

The interpreters on the test's PATH are stand-ins: a working one is this
interpreter told to be another version, a broken one fails the way a version
manager's shim does for a version that is not selected."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]

BROKEN = '#!/bin/sh\necho "pyenv: $(basename "$0"): command not found" >&2\nexit 127\n'


def working(minor):
    return (
        f"#!{sys.executable}\nimport sys\nsys.version_info = (3, {minor}, 0, 'final', 0)\n"
        "sys.executable = __file__\nexec(sys.argv[2])\n"
    )


@pytest.fixture
def path_of(tmp_path):
    """PATH made of directories holding the named interpreters (None: broken)
    and the few commands the script uses."""

    def make(*dirs):
        entries = []
        for index, interpreters in enumerate(dirs):
            folder = tmp_path / f"bin{index}"
            folder.mkdir()
            for name, minor in interpreters.items():
                (folder / name).write_text(BROKEN if minor is None else working(minor))
                (folder / name).chmod(0o755)
            entries.append(str(folder))
        tools = tmp_path / "tools"
        tools.mkdir()
        (tools / "sort").symlink_to(shutil.which("sort"))
        return os.pathsep.join(entries + [str(tools)])

    return make


def find(path, *args, python=None):
    env = {"PATH": path, **({"PYTHON": python} if python else {})}
    done = subprocess.run(
        ["/bin/bash", str(ROOT / "tools" / "python.sh"), *args], capture_output=True, text=True, env=env, timeout=60
    )
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize(
    "dirs, chosen",
    [
        ([{"python3.10": 10, "python3": 12}], "3.10 python3.10"),  # the wheel's own ABI first
        ([{"python3.10": None, "python3": 11}], "3.11 python3"),  # a shim that fails is passed over
        ([{"python3.10": None}, {"python3.10": 10, "python3": 11}], "3.10 python3.10"),  # the first that runs on PATH
        ([{"python3": 13}], "3.13 python3"),
    ],
    ids=["3.10 first", "failing shim", "later on PATH", "python3 alone"],
)
def test_first_interpreter(path_of, dirs, chosen):
    rc, out, err = find(path_of(*dirs))
    version, interpreter = out.split()
    assert (rc, f"{version} {Path(interpreter).name}", err) == (0, chosen, "")


@pytest.mark.parametrize(
    "dirs, python",
    [
        ([{"python3": 9}], None),
        ([{"python3.10": None, "python3": None}], None),
        ([], None),
        ([{"python3": 12}], "old"),
    ],
    ids=["python3 too old", "only failing shims", "none", "PYTHON too old"],
)
def test_no_interpreter_is_one_line(path_of, tmp_path, dirs, python):
    path = path_of(*dirs)
    if python:
        python = tmp_path / "old"
        python.write_text(working(9))
        python.chmod(0o755)
    rc, out, err = find(path, python=python and str(python))
    assert (rc, out, len(err.splitlines())) == (1, "", 1)
    assert "3.10 or later" in err


def test_python_names_the_interpreter(path_of, tmp_path):
    chosen = tmp_path / "mine"
    chosen.write_text(working(12))
    chosen.chmod(0o755)
    assert find(path_of({"python3.10": 10}), python=str(chosen)) == (0, f"3.12 {chosen}\n", "")


@pytest.mark.parametrize(
    "dirs, first, other",
    [
        ([{"python3.10": 10, "python3.11": None, "python3.13": 13, "python3.12": 12}], "3.10", "3.12"),
        ([{"python3.12": 12}, {"python3.11": 11}], "3.10", "3.11"),  # the lowest, wherever on PATH
        ([{"python3.11": 11, "python3": 12, "python3.12": None}], "3.11", None),  # the same version, or a shim
        ([{"python3.11": 11}], "3.10", "3.11"),
    ],
    ids=["lowest that runs", "across PATH", "none other", "one"],
)
def test_other_interpreter(path_of, dirs, first, other):
    rc, out, err = find(path_of(*dirs), "other", first)
    assert (rc, err) == (0, "")
    assert (out.split()[0] if out else None) == other


def junit(tests, failures=0, skipped=0, name="suite"):
    return (
        f'<testsuites><testsuite name="{name}" tests="{tests}" failures="{failures}" '
        f'errors="0" skipped="{skipped}"/></testsuites>'
    )


def summary(results):
    done = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "test_summary.py"), str(results)],
        capture_output=True,
        text=True,
        timeout=60,
    )
    return done.returncode, done.stdout


@pytest.fixture
def results(tmp_path):
    (tmp_path / "native-dragonbox-ON.xml").write_text(junit(300))
    (tmp_path / "native-dragonbox-OFF.xml").write_text(junit(300, skipped=1))
    (tmp_path / "python.xml").write_text(junit(800, skipped=4, name="3.10.13"))
    return tmp_path


def test_summary_names_every_run(results):
    (results / "python-other.xml").write_text(junit(800, skipped=2, name="3.11.7"))
    assert summary(results) == (
        0,
        "make test: all passed: native 300 with Dragonbox, 299 with std::to_chars; "
        "Python 796 on 3.10.13 (4 skipped), 798 on 3.11.7 (2 skipped)\n",
    )


def test_summary_says_when_there_was_one_interpreter(results):
    (results / "python-other.none").write_text("no second Python 3.10 or later on PATH\n")
    rc, out = summary(results)
    assert (rc, out.count("\n")) == (0, 1)
    assert out.endswith("; Python 796 on 3.10.13 (4 skipped), no second Python 3.10 or later on PATH\n")


@pytest.mark.parametrize("damage", ["failure", "missing", "empty"])
def test_summary_never_says_passed_wrongly(results, damage):
    (results / "python-other.none").write_text("none\n")
    target = results / "native-dragonbox-OFF.xml"
    if damage == "failure":
        target.write_text(junit(300, failures=2))
    elif damage == "missing":
        target.unlink()
    else:
        target.write_text(junit(0))
    rc, out = summary(results)
    assert rc == 1 and "passed" not in out.split(":")[1]
