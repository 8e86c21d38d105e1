"""What every installed command answers, whatever it does: the commands are
read from the installed wheel's entry points, so a new one is covered as
soon as it is declared."""

import importlib.metadata
import subprocess
import time

import pytest
from conftest import installed_script, simulator_recording

DIST = importlib.metadata.distribution("tavrin_ahrs_driver")
COMMANDS = sorted(ep.name for ep in DIST.entry_points if ep.group == "console_scripts")


def test_the_wheel_declares_commands():
    assert COMMANDS


@pytest.mark.parametrize("command", COMMANDS)
def test_version(command):
    done = subprocess.run([installed_script(command), "--version"], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{command} {DIST.version}\n", "")


@pytest.fixture(scope="module")
def streaming(tmp_path_factory):
    """A recording, and a simulated sensor streaming at a link beside it."""
    folder = tmp_path_factory.mktemp("commands")
    recording = simulator_recording(folder / "flight.bin", 1)
    link = folder / "ahrs"
    sim = subprocess.Popen(
        [installed_script("ahrs-sim"), "--link", str(link), "--duration", "300"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + 60
        while not link.exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        yield recording, link
    finally:
        sim.kill()
        sim.wait()


# Each command's --version, and the commands whose work prints to standard output.
OUTPUT_RUNS = [(c, ["--version"]) for c in COMMANDS] + [
    ("ahrs-info", ["{recording}"]),
    ("ahrs-dump", ["{recording}"]),
    ("ahrs-monitor", ["{link}"]),
    ("ahrs-sim", ["--link", "{folder}/other", "--duration", "5"]),
]


@pytest.mark.parametrize("stdout", ["full", "closed"])
@pytest.mark.parametrize("command, args", OUTPUT_RUNS, ids=[f"{c}-{a[0]}" for c, a in OUTPUT_RUNS])
def test_standard_output_that_takes_nothing_fails_in_one_line(streaming, command, args, stdout):
    recording, link = streaming
    argv = [
        installed_script(command),
        *[a.format(recording=recording, link=link, folder=recording.parent) for a in args],
    ]
    if stdout == "full":
        with open("/dev/full", "w") as full:
            done = subprocess.run(argv, stdout=full, stderr=subprocess.PIPE, text=True, timeout=120)
    else:
        done = subprocess.run(
            ["sh", "-c", 'exec "$@" >&-', "sh", *argv], stderr=subprocess.PIPE, text=True, timeout=120
        )
    lines = done.stderr.splitlines()
    assert done.returncode == 1, done.stderr
    assert lines[-1].startswith(f"{command}: ") and "standard output" in lines[-1]
    assert "Traceback" not in done.stderr and "Exception ignored" not in done.stderr
