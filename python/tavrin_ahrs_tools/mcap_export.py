"""ahrs-dump --format mcap: a recording as an MCAP file, for robotics viewers.

One channel per record (topic "/<Record>"), JSON messages described by a
JSON schema (each item's unit in its description), one message per row of
load()'s table, in packet order. A message's log time is the packet's GPS
best time (see stamps.py); in a recording without any time, it is the
packet's index in milliseconds.
"""

from __future__ import annotations

import json
import os
from collections.abc import Collection
from types import ModuleType
from typing import TYPE_CHECKING, Any

from .columnar import record_units
from .progress import Progress
from .recording import needs
from .stamps import packet_stamps

PACKETS_PER_BATCH = 20_000
_JSON_TYPES = {"f": "number", "u": "integer", "i": "integer", "b": "boolean"}

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .recording import Recording

    # (packet, channel id, sequence, JSON text) of one message.
    Message = tuple[int, int, int, bytes]


def require() -> None:
    needs("mcap", "--format mcap", "mcap")


def json_schema(name: str, columns: dict[str, NDArray[Any]]) -> dict[str, Any]:
    units = record_units().get(name, {})
    properties = {}
    for field, values in columns.items():
        kind = _JSON_TYPES[values.dtype.kind]
        prop: dict[str, Any] = {"type": [kind, "null"] if kind == "number" else kind}  # null: not a number, infinities
        if units.get(field):  # "" for values without one
            prop["description"] = f"unit: {units[field]}"
        properties[field] = prop
    return {"title": name, "type": "object", "properties": properties, "required": list(columns)}


def json_texts(np: ModuleType, values: NDArray[Any]) -> NDArray[Any]:
    """Each value as JSON text; not-a-number and infinities as null."""
    if values.dtype.kind == "b":
        return np.where(values, "true", "false")
    texts = values.astype(str)  # shortest digits at the value's own width
    if values.dtype.kind == "f":
        texts[~np.isfinite(values)] = "null"
    return texts


def messages(
    np: ModuleType, rec: Recording, channels: dict[str, tuple[int, str]], first: int, end: int
) -> list[Message]:
    """(packet, channel, sequence, data) of the rows of packets first..end-1, in packet order."""
    out: list[Message] = []
    for name, (channel, template) in channels.items():
        columns = rec.columns(name)
        packets = columns["packet"]
        lo, hi = np.searchsorted(packets, [first, end])
        texts = [json_texts(np, values[lo:hi]).tolist() for values in columns.values()]
        for row, fields in enumerate(zip(*texts), start=lo):
            out.append((int(packets[row]), channel, row, template.format(*fields).encode()))
    out.sort(key=lambda m: (m[0], m[1]))
    return out


def export(rec: Recording, path: str, names: Collection[str] | None = None) -> int:
    """Writes the recording's records (or those in `names`) to the MCAP file
    `path`; returns how many packets took a neighbour's time."""
    import numpy as np
    from mcap.writer import Writer

    with open(path, "wb") as stream, Progress(rec.packets, "mcap") as bar:
        writer = Writer(stream)
        writer.start(profile="", library="tavrin_ahrs_tools")
        channels: dict[str, tuple[int, str]] = {}

        for name in rec.records:
            if names and name not in names:
                continue
            columns = rec.columns(name)
            schema = writer.register_schema(name, "jsonschema", json.dumps(json_schema(name, columns)).encode())
            channel = writer.register_channel(f"/{name}", "json", schema)
            fields = ", ".join(f'"{field}": {{}}' for field in columns)
            channels[name] = (channel, "{{" + fields + "}}")
        times, replaced = packet_stamps(np, rec)
        for first in range(0, rec.packets, PACKETS_PER_BATCH):
            for packet, channel, sequence, data in messages(np, rec, channels, first, first + PACKETS_PER_BATCH):
                t = int(times[packet])
                writer.add_message(channel, log_time=t, data=data, publish_time=t, sequence=sequence)
            bar.update(first + PACKETS_PER_BATCH)
        writer.add_metadata(
            "recording",
            {
                "path": os.fsdecode(rec.path),
                "packets": str(rec.packets),
                "damaged_runs": str(len(rec.damaged)),
                "skipped_bytes": str(rec.skipped_bytes),
            },
        )
        writer.finish()
    return replaced
