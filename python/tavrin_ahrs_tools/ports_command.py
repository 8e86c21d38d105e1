"""ahrs-ports: the serial ports present, the stable by-id name first."""

from __future__ import annotations

import argparse
import sys

from .cli import add_version, command
from .ports import list_ports, port_lines


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="ahrs-ports",
        description="Lists the serial ports present, one a line: the stable "
        "/dev/serial/by-id name first when udev keeps one, then the device.",
    )
    add_version(parser)
    return parser.parse_args(argv)


@command("ahrs-ports")
def main(argv: list[str] | None = None) -> int:
    parse_args(argv)
    try:
        ports = list_ports()
    except ImportError as err:
        print(f"ahrs-ports: {err}", file=sys.stderr)
        return 1
    if not ports:
        print("ahrs-ports: no serial ports found", file=sys.stderr)
        return 0
    for line in port_lines(ports):
        print(line)
    return 0
