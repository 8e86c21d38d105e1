"""The serial ports present on this machine, from pyserial's port listing."""

from __future__ import annotations

import os
from collections.abc import Iterable
from dataclasses import dataclass

_INSTALL_PYSERIAL = "list_ports() needs pyserial: pip install 'tavrin_ahrs_driver[tools]'"
BY_ID = "/dev/serial/by-id"


@dataclass(frozen=True)
class PortInfo:
    """One serial port.

    device         the device path, e.g. /dev/ttyACM0
    by_id          the stable /dev/serial/by-id path udev keeps for it, or None
    vid, pid       USB vendor and product ids (int), or None off USB
    serial_number, manufacturer, product   as the device describes itself, or None
    """

    device: str
    by_id: str | None
    vid: int | None
    pid: int | None
    serial_number: str | None
    manufacturer: str | None
    product: str | None


def _by_id_links() -> dict[str, str]:
    """Resolved device path -> its /dev/serial/by-id link."""
    try:
        names = sorted(os.listdir(BY_ID))
    except OSError:
        return {}
    links: dict[str, str] = {}
    for name in names:
        link = os.path.join(BY_ID, name)
        links.setdefault(os.path.realpath(link), link)
    return links


def list_ports() -> list[PortInfo]:
    """The serial ports present, sorted by device path."""
    try:
        from serial.tools import list_ports as pyserial_ports
    except ImportError:
        raise ImportError(_INSTALL_PYSERIAL) from None
    links = _by_id_links()
    return [
        PortInfo(
            p.device, links.get(os.path.realpath(p.device)), p.vid, p.pid, p.serial_number, p.manufacturer, p.product
        )
        for p in sorted(pyserial_ports.comports(), key=lambda p: p.device)
    ]


def describe_ports() -> str:
    """A short phrase naming the ports present, for messages about a missing one."""
    try:
        ports = list_ports()
    except ImportError:
        return "serial ports cannot be listed without pyserial"
    if not ports:
        return "no serial ports found"
    return "serial ports present: " + ", ".join(f"{p.device} ({p.by_id})" if p.by_id else p.device for p in ports)


def port_lines(ports: Iterable[PortInfo]) -> list[str]:
    """One line a port for ahrs-ports: the stable by-id name first (what to
    give Sensor or ahrs-record, since it survives a re-plug), then the device
    it leads to now and what the device says it is."""
    lines = []
    for p in ports:
        names = f"{p.by_id} -> {p.device}" if p.by_id else p.device
        usb = f"{p.vid:04x}:{p.pid:04x}" if p.vid is not None and p.pid is not None else None
        about = "  ".join(filter(None, (usb, p.manufacturer, p.product, p.serial_number)))
        lines.append(f"{names}  {about}" if about else names)
    return lines
