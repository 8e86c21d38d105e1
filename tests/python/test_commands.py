"""What every installed command answers, whatever it does: the commands are
read from the installed wheel's entry points, so a new one is covered as
soon as it is declared."""
import importlib.metadata
import subprocess

import pytest

from conftest import installed_script

DIST = importlib.metadata.distribution("tavrin_ahrs_driver")
COMMANDS = sorted(ep.name for ep in DIST.entry_points if ep.group == "console_scripts")


def test_the_wheel_declares_commands():
    assert COMMANDS


@pytest.mark.parametrize("command", COMMANDS)
def test_version(command):
    done = subprocess.run([installed_script(command), "--version"], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"{command} {DIST.version}\n", "")
