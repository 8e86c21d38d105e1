"""The live benchmarks' packets: ~140 bytes each, carrying a running counter.

A sensor packet with nine of its twelve fields (136 bytes) alternates with a
filter packet with nine of its fifteen (144 bytes), the size of a typical
streaming configuration.  The GPS time-of-week item of each carries the
packet's number, so a reader can tell whether any went missing.
"""

import struct

from tavrin_ahrs_tools import frames as mip
from tavrin_ahrs_tools.simulated import filter_fields, sensor_fields

SENSOR_FIELDS = (0x04, 0x05, 0x06, 0x07, 0x08, 0x0A, 0x0C, 0x11, 0x12)
FILTER_FIELDS = (0x10, 0x11, 0x03, 0x05, 0x0E, 0x06, 0x1C, 0x0D, 0x13)
SAMPLE_TIME = 10.0  # stream time of the frozen values: the filter is settled


def _packet(descriptor_set, layout, values, keep):
    """(packet bytes, offset of the counter) with a zero counter."""
    payload, counter_at = b"", None
    for (desc, formats), items in zip(layout, values):
        if desc not in keep:
            continue
        if desc == mip.GPS_TIME_FIELDS[descriptor_set]:
            counter_at = 4 + len(payload) + 2
        payload += mip.field(desc, formats, *items)
    return mip.frame(descriptor_set, payload), counter_at


def templates():
    """The two packets, sensor first, each as (bytes, counter offset)."""
    return (
        _packet(mip.SENSOR_SET, mip.SENSOR_LAYOUT, sensor_fields(SAMPLE_TIME, 0.01, tow=0.0), SENSOR_FIELDS),
        _packet(mip.FILTER_SET, mip.FILTER_LAYOUT, filter_fields(SAMPLE_TIME, tow=0.0), FILTER_FIELDS),
    )


def write_templates(path):
    """The file pty_writer reads: per packet its length, counter offset, bytes."""
    with open(path, "wb") as out:
        for raw, counter_at in templates():
            out.write(struct.pack("<HH", len(raw), counter_at) + raw)


def mean_size():
    sizes = [len(raw) for raw, _ in templates()]
    return sum(sizes) / len(sizes)


def counter(snapshot):
    """The running counter a snapshot carries, or None."""
    stamp = snapshot.get("GPSCorrelationTimestamp") or snapshot.get("GPSTimestamp")
    if stamp is None:
        return None
    return stamp.get("gps_time_of_week", stamp.get("time_of_week"))
