#!/usr/bin/env python3
"""Writes python/tavrin_ahrs_tools/wire_table.py from the native record catalogue.

The simulator, its replay and its framing run on the standard library alone,
so they read the wire format from a module checked into the tree instead of
from the native one. `make wire-table` runs this after a change to the
catalogue (src/protocol/record_catalogue.cpp); a test holds the module equal
to what table() finds in the installed native module.

    python tools/wire_table.py OUTPUT
"""

import sys

from tavrin_ahrs_tools import _native

# Big-endian struct codes of the values as sent, by kind and wire width.
FLOAT_CODES = {4: "f", 8: "d"}
UNSIGNED_CODES = {1: "B", 2: "H", 4: "I", 8: "Q"}

HEADER = '''"""The wire format, for what runs on the standard library alone: the
simulator, its replay and its framing.

Generated from the native record catalogue by `make wire-table`
(tools/wire_table.py), and held equal to it by a test: do not edit. A new
record or a changed width goes into src/protocol/record_catalogue.cpp, and
this module is generated again.
"""

from __future__ import annotations

'''


def struct_code(type_code: str, wire_width: int) -> str:
    """A float is sent at its width; anything else (counts, flags) as an unsigned integer."""
    return FLOAT_CODES[wire_width] if type_code.startswith("f") else UNSIGNED_CODES[wire_width]


def table() -> dict:
    """The module's names and values, from the native catalogue."""
    wire = _native.wire_format()
    sets = wire["descriptor_sets"]
    return {
        "WIRE_TYPES": {code: struct_code(code, widths[0]) for code, widths in wire["wire_types"].items()},
        "DESCRIPTOR_SETS": dict(sets),
        "RECORDS": tuple(
            (name, sets[set_name], descriptor, tuple((item, code) for item, code, _unit in items))
            for name, set_name, items, descriptor in _native.catalogue()
        ),
        "TIME_ITEMS": dict(wire["time_items"]),
        "SECONDS_PER_WEEK": wire["seconds_per_week"],
        "SYNC": wire["sync"],
        "MAX_PACKET": wire["max_packet"],
    }


def _byte(value: int) -> str:
    return f"0x{value:02X}"


def _bytes(value: bytes) -> str:
    return 'b"' + "".join(f"\\x{b:02X}" for b in value) + '"'


def render() -> str:
    t = table()
    records = "".join(
        f"    ({name!r}, {_byte(set_byte)}, {_byte(descriptor)}, {items!r}),\n"
        for name, set_byte, descriptor, items in t["RECORDS"]
    )
    sets = "".join(f"    {name!r}: {_byte(byte)},\n" for name, byte in t["DESCRIPTOR_SETS"].items())
    return (
        HEADER
        + "# The struct code (big-endian) of each item type as sent, by its array type code.\n"
        + f"WIRE_TYPES: dict[str, str] = {t['WIRE_TYPES']!r}\n"
        + "# Every descriptor set a packet may carry: name -> byte.\n"
        + f"DESCRIPTOR_SETS: dict[str, int] = {{\n{sets}}}\n"
        + "# The records in catalogue order: (name, descriptor set, field descriptor,\n"
        + "# ((item, array type code), ...) in wire order).\n"
        + f"RECORDS: tuple[tuple[str, int, int, tuple[tuple[str, str], ...]], ...] = (\n{records})\n"
        + "# The record that dates a packet of its set: name -> (time-of-week item, week item).\n"
        + f"TIME_ITEMS: dict[str, tuple[str, str]] = {t['TIME_ITEMS']!r}\n"
        + "# A packet's time in seconds: week * SECONDS_PER_WEEK + time of week.\n"
        + f"SECONDS_PER_WEEK = {t['SECONDS_PER_WEEK']!r}\n"
        + "# The two bytes every packet starts with, and the longest packet in bytes.\n"
        + f"SYNC = {_bytes(t['SYNC'])}\n"
        + f"MAX_PACKET = {t['MAX_PACKET']!r}\n"
    )


if __name__ == "__main__":
    with open(sys.argv[1], "w") as out:
        out.write(render())
