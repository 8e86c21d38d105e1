"""ahrs-dump --format mcap (ROS 2 profile) and --format rosbag2.

One message per packet on each topic a packet has data for, in SI units
through the units table, encoded as CDR and written natively:

/imu/data_raw        sensor_msgs/msg/Imu: scaled accelerometer and gyro; no
                     orientation (covariance[0] = -1)
/imu/data            sensor_msgs/msg/Imu: the filter's orientation, compensated
                     rate and acceleration; the orientation's covariance from
                     AttitudeUncertaintyEuler when the packet has it, else zeros
                     (unknown)
/imu/mag             sensor_msgs/msg/MagneticField (tesla)
/imu/pressure        sensor_msgs/msg/FluidPressure (pascal)
/imu/time_reference  sensor_msgs/msg/TimeReference: the packet's GPS time as UTC
/tf                  tf2_msgs/msg/TFMessage: the attitude, world -> frame_id

A field a packet lacks (a filter packet without compensated acceleration,
say) is zeros with -1 in its covariance's element 0, as the message's
documentation says. The orientation follows the recording's attitude
conventions (found in the data, or stated): the quaternion's items in the
order they say, the body relative to the world. A north-east-down world
(forward-right-down body) names the frame `imu_link_ned` and the world
`map_ned`; with enu=True every vector and the orientation are turned into
REP-103's east-north-up and forward-left-up, named `imu_link` and `map`,
which an east-north-up world already is.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Mapping, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from types import ModuleType
from typing import TYPE_CHECKING, Any

from . import _native, timeline
from .stamps import gps_to_unix, packet_stamps

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from ._native import Ros2Batch, Ros2Kind
    from .conventions import Conventions
    from .recording import Recording
    from .staged_output import StagedOutputs

# {record: {column: unit}}
Units = dict[str, dict[str, str]]
# (values, unit) -> (values in SI, SI unit): a float or an array of them.
ToSi = Callable[[Any, str], tuple[Any, str]]
# {record: {column: unit}} in place of the catalogue's.
UnitOverrides = Mapping[str, Mapping[str, str]]

PACKETS_PER_BATCH = 100_000
IMU_ROW = 37
# (topic, message kind)
TOPICS: tuple[tuple[str, Ros2Kind], ...] = (
    ("/imu/data_raw", "imu"),
    ("/imu/data", "imu"),
    ("/imu/mag", "mag"),
    ("/imu/pressure", "pressure"),
    ("/imu/time_reference", "time_reference"),
    ("/tf", "tf"),
)
ROS_TYPES = {
    "imu": "sensor_msgs/msg/Imu",
    "mag": "sensor_msgs/msg/MagneticField",
    "pressure": "sensor_msgs/msg/FluidPressure",
    "time_reference": "sensor_msgs/msg/TimeReference",
    "tf": "tf2_msgs/msg/TFMessage",
}
# North-east-down to east-north-up (world), forward-right-down to
# forward-left-up (body): each a half turn, as quaternions x, y, z, w.
_NED_TO_ENU = (0.5**0.5, 0.5**0.5, 0.0, 0.0)
_FRD_TO_FLU = (1.0, 0.0, 0.0, 0.0)


def default_frame(enu: bool) -> str:
    return "imu_link" if enu else "imu_link_ned"


def settled(rec: Recording, stated: Conventions | None = None) -> Conventions:
    """The recording's conventions: those `stated`, filled in by what the data
    settle. Raises ConventionsError when the world (or, where the recording has
    OrientationQuaternion, the quaternion order) is left open."""
    from .conventions import ConventionsError

    why = ""
    try:
        found: Conventions | None = rec.conventions
    except ConventionsError as err:
        found, why = None, str(err)
    conv = found if stated is None else stated if found is None else stated.merged(found)
    needed = ["world"] + (["quaternion"] if "OrientationQuaternion" in rec.records else [])
    missing = [name for name in needed if conv is None or getattr(conv, name) is None]
    if missing:
        because = why.split(":")[0] if found is None else f"the data leave the {' and '.join(missing)} open"
        raise ConventionsError(
            f"the attitude conventions are not settled ({because}): "
            f"state them with --conventions, e.g. --conventions xyzw,ned"
        )
    assert conv is not None
    return conv


def _quat_mul(np: ModuleType, a: NDArray[Any], b: NDArray[Any]) -> NDArray[Any]:
    ax, ay, az, aw = (a[..., i] for i in range(4))
    bx, by, bz, bw = (b[..., i] for i in range(4))
    return np.stack(
        [
            aw * bx + ax * bw + ay * bz - az * by,
            aw * by - ax * bz + ay * bw + az * bx,
            aw * bz + ax * by - ay * bx + az * bw,
            aw * bw - ax * bx - ay * by - az * bz,
        ],
        axis=-1,
    )


class _Source:
    """The recording's columns in SI units, a batch of packets at a time."""

    def __init__(self, np: ModuleType, rec: Recording, units: Units, to_si: ToSi, enu: bool, conv: Conventions) -> None:
        self.np, self.rec, self.units, self.to_si, self.conv = np, rec, units, to_si, conv
        self.enu = enu and conv.world == "ned"  # an east-north-up world needs no turn

    def rows(self, name: str, first: int, end: int) -> tuple[NDArray[Any], dict[str, NDArray[Any]]] | None:
        """(packets, columns dict) of the record's rows in packets first..end-1; None when absent."""
        if name not in self.rec.records:
            return None
        columns = self.rec.columns(name)
        lo, hi = self.np.searchsorted(columns["packet"], [first, end])
        return columns["packet"][lo:hi], {k: v[lo:hi] for k, v in columns.items()}

    def vector(
        self, name: str, cols: Mapping[str, NDArray[Any]], items: Sequence[str] = ("x", "y", "z")
    ) -> NDArray[Any]:
        """The record's body-frame vector items in SI, as an (n, 3) float64 array."""
        out = self.np.empty((len(cols["packet"]), len(items)))
        for i, item in enumerate(items):
            out[:, i], _si = self.to_si(cols[item].astype("f8"), self.units[name][item])
        if self.enu and len(items) == 3:
            out[:, 1:] *= -1
        return out

    def quaternion(self, cols: Mapping[str, NDArray[Any]]) -> NDArray[Any]:
        """(n, 4) x, y, z, w of the body relative to the world: the wire items
        reordered by the quaternion convention (wxyz: the first is the scalar)."""
        np = self.np
        wire = np.stack([cols[c].astype("f8") for c in "xyzw"], axis=-1)
        q = wire[:, [1, 2, 3, 0]] if self.conv.quaternion == "wxyz" else wire
        q = q / np.linalg.norm(q, axis=-1, keepdims=True)
        if self.enu:
            q = _quat_mul(np, _quat_mul(np, np.array(_NED_TO_ENU), q), np.array(_FRD_TO_FLU))
        return q


def _scatter(
    np: ModuleType,
    packets: NDArray[Any],
    part_packets: NDArray[Any],
    values: NDArray[Any],
    out: NDArray[Any],
    columns: NDArray[Any],
) -> None:
    at = np.searchsorted(packets, part_packets)
    out[at[:, None], columns] = values


def _imu_rows(
    np: ModuleType, src: _Source, parts: Mapping[str, str], first: int, end: int
) -> tuple[NDArray[Any], NDArray[Any]] | None:
    """(packets, rows) of an Imu topic from its (orientation, rate, acceleration, uncertainty) parts."""
    found = {k: src.rows(name, first, end) for k, name in parts.items() if name}
    got = {k: v for k, v in found.items() if v is not None and len(v[0])}
    if not any(k != "uncertainty" for k in got):
        return None
    packets = np.unique(np.concatenate([got[k][0] for k in got if k != "uncertainty"]))
    rows = np.zeros((len(packets), IMU_ROW))
    rows[:, [4, 16, 28]] = -1  # not provided, until a part says otherwise
    rows[:, 3] = 1  # the identity where no orientation is given
    for key, start in (("orientation", 0), ("rate", 13), ("acceleration", 25)):
        if key not in got:
            continue
        part, cols = got[key]
        values = src.quaternion(cols) if key == "orientation" else src.vector(parts[key], cols)
        width = values.shape[1]  # then element 0 of its covariance, now known (0: unknown)
        _scatter(
            np, packets, part, np.column_stack([values, np.zeros(len(part))]), rows, np.arange(start, start + width + 1)
        )
    if "uncertainty" in got:
        part, cols = got["uncertainty"]
        keep = np.isin(part, packets)
        sigma = np.column_stack(
            [
                src.to_si(cols[c][keep].astype("f8"), src.units[parts["uncertainty"]][c])[0]
                for c in ("roll", "pitch", "yaw")
            ]
        )
        has = np.isin(packets, got["orientation"][0]) if "orientation" in got else np.zeros(len(packets), bool)
        at = np.searchsorted(packets, part[keep])
        ok = has[at]
        rows[at[ok][:, None], np.array([4, 8, 12])] = sigma[ok] ** 2
    return packets, rows


def _batches(np: ModuleType, src: _Source, first: int, end: int) -> Iterator[tuple[int, NDArray[Any], NDArray[Any]]]:
    """(topic index, packets, rows) of every topic with data in packets first..end-1."""
    raw = _imu_rows(np, src, {"rate": "ScaledGyroVector", "acceleration": "ScaledAccVector"}, first, end)
    if raw is not None:
        yield 0, *raw
    data = _imu_rows(
        np,
        src,
        {
            "orientation": "OrientationQuaternion",
            "rate": "CompensatedAngularRate",
            "acceleration": "CompensatedAcceleration",
            "uncertainty": "AttitudeUncertaintyEuler",
        },
        first,
        end,
    )
    if data is not None:
        yield 1, *data
    mag = src.rows("ScaledMageVector", first, end)
    if mag is not None and len(mag[0]):
        yield 2, mag[0], np.column_stack([src.vector("ScaledMageVector", mag[1]), np.zeros((len(mag[0]), 9))])
    pressure = src.rows("ScaledAmbientPressure", first, end)
    if pressure is not None and len(pressure[0]):
        pa = src.vector("ScaledAmbientPressure", pressure[1], ("ambient_pressure",))
        yield 3, pressure[0], np.column_stack([pa, np.zeros(len(pa))])
    found = [_time_refs(np, src, name, first, end) for name in timeline.CLOCKS]
    refs = [r for r in found if r is not None]
    if refs:
        packets = np.concatenate([p for p, _ in refs])
        order = np.argsort(packets, kind="stable")
        yield 4, packets[order], np.concatenate([r for _, r in refs])[order]
    orientation = src.rows("OrientationQuaternion", first, end)
    if orientation is not None and len(orientation[0]):
        q = src.quaternion(orientation[1])
        yield 5, orientation[0], np.column_stack([np.zeros((len(q), 3)), q])


def _time_refs(
    np: ModuleType, src: _Source, name: str, first: int, end: int
) -> tuple[NDArray[Any], NDArray[Any]] | None:
    got = src.rows(name, first, end)
    if got is None or not len(got[0]):
        return None
    unix = gps_to_unix(np, timeline.clock_times(got[1], name))
    usable = np.isfinite(unix) & (unix >= 0) & (unix < 2.0**31)
    whole = np.floor(unix[usable])
    return got[0][usable], np.column_stack([whole, np.rint((unix[usable] - whole) * 1e9).clip(0, 999_999_999)])


def write(
    rec: Recording,
    path: str | os.PathLike[str],
    frame_id: str | None = None,
    enu: bool = False,
    overrides: UnitOverrides | None = None,
    conventions: Conventions | None = None,
    progress: Callable[[int], object] | None = None,
) -> tuple[dict[str, int], tuple[int, int], int]:
    """Writes the recording's ROS 2 topics to the MCAP file `path`.

    Returns ({topic: message count}, first and last log time in ns, packets
    that took a neighbour's time)."""
    import numpy as np

    from .columnar import record_units
    from .units import to_si, units

    conv = settled(rec, conventions)  # before anything is written
    table: Units = units(overrides) if overrides is not None else record_units()
    turned = enu or conv.world == "enu"
    frame = frame_id or default_frame(turned)
    world = "map" if turned else "map_ned"
    stamps, replaced = packet_stamps(np, rec)
    src = _Source(np, rec, table, to_si, enu, conv)
    writer = _native.Ros2Writer(os.fspath(path))
    # The native writer encodes and compresses one batch without the
    # interpreter lock while the next is made ready here.
    pool = ThreadPoolExecutor(1)
    pending: Future[None] | None = None
    try:
        channels = [
            writer.channel(
                topic, kind, world if kind == "tf" else frame, {"tf": frame, "time_reference": "gps"}.get(kind, "")
            )
            for topic, kind in TOPICS
        ]
        counts = [0] * len(TOPICS)
        for first in range(0, rec.packets, PACKETS_PER_BATCH):
            batches: list[Ros2Batch] = []
            for topic, packets, rows in _batches(np, src, first, first + PACKETS_PER_BATCH):
                times = stamps[packets.astype(np.intp)]
                packets = np.ascontiguousarray(packets, dtype=np.uint64)
                batches.append(
                    (
                        channels[topic],
                        packets.tobytes(),
                        times.tobytes(),
                        times.astype(np.int64).tobytes(),
                        np.ascontiguousarray(rows, dtype="f8").tobytes(),
                    )
                )
                counts[topic] += len(packets)
            if pending is not None:
                pending.result()
            pending = pool.submit(writer.write, batches)
            if progress:
                progress(first + PACKETS_PER_BATCH)
        if pending is not None:
            pending.result()
    finally:
        pool.shutdown(cancel_futures=True)
        writer.finish()
    span = (int(stamps.min()), int(stamps.max())) if rec.packets else (0, 0)
    return {topic: n for (topic, _), n in zip(TOPICS, counts) if n}, span, replaced


def _metadata_yaml(name: str, counts: Mapping[str, int], span: tuple[int, int]) -> str:
    start, end = span
    total = sum(counts.values())
    topics = "".join(
        f"    - topic_metadata:\n        name: {topic}\n        type: {ROS_TYPES[kind]}\n"
        f'        serialization_format: cdr\n        offered_qos_profiles: ""\n'
        f"      message_count: {counts[topic]}\n"
        for topic, kind in TOPICS
        if topic in counts
    )
    return (
        f"rosbag2_bagfile_information:\n  version: 5\n  storage_identifier: mcap\n"
        f"  duration:\n    nanoseconds: {end - start}\n"
        f"  starting_time:\n    nanoseconds_since_epoch: {start}\n"
        f"  message_count: {total}\n  topics_with_message_count:\n{topics}"
        f'  compression_format: ""\n  compression_mode: ""\n'
        f"  relative_file_paths:\n    - {name}\n"
        f"  files:\n    - path: {name}\n      starting_time:\n        nanoseconds_since_epoch: {start}\n"
        f"      duration:\n        nanoseconds: {end - start}\n      message_count: {total}\n"
    )


def write_bag(rec: Recording, directory: str, stage: StagedOutputs, **options: Any) -> int:
    """A rosbag2 folder: DIRECTORY/metadata.yaml and DIRECTORY/<name>_0.mcap,
    each written through `stage` (a StagedOutputs), whole or not at all."""
    stage.folder(directory)
    name = os.path.basename(os.path.normpath(directory)) + "_0.mcap"
    counts, span, replaced = write(rec, stage.path(os.path.join(directory, name)), **options)
    with open(stage.path(os.path.join(directory, "metadata.yaml")), "w") as f:
        f.write(_metadata_yaml(name, counts, span))
    return replaced
