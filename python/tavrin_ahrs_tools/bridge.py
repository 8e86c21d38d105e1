"""ahrs-bridge: a live sensor served to Foxglove over its WebSocket protocol.

A Sensor reads the port (opening it again after an unplug); each sample
becomes the ROS 2 messages of ahrs-dump's ROS 2 profile (see ros2_export),
encoded natively as CDR and published through foxglove-sdk's server, which
advertises the channels, serves every client that comes and goes, and
optionally writes the same stream to an MCAP file. Messages are stamped
with the host's wall clock at the packet's arrival. Orientation (on
/imu/data and /tf) is published once the Sensor has found the attitude
conventions; until then /imu/data carries none (covariance -1) and /tf
nothing. The world (north-east-down or east-north-up) names the frames as
in ros2_export.
"""

from __future__ import annotations

import argparse
import math
import sys
from collections.abc import Iterator, Mapping, Sequence
from types import ModuleType
from typing import TYPE_CHECKING, Any

from . import _native
from .cli import add_version, command, open_sensor
from .recording import needs
from .ros2_export import IMU_ROW, TOPICS, default_frame

if TYPE_CHECKING:
    from ._native import ItemValue, Ros2Kind
    from .conventions import Conventions
    from .ros2_export import UnitOverrides
    from .sensor import Sample

    # record name -> {item: value}, as a Sample holds them
    Readings = dict[str, dict[str, ItemValue]]

_NED_TO_ENU = (0.5**0.5, 0.5**0.5, 0.0, 0.0)
_FRD_TO_FLU = (1.0, 0.0, 0.0, 0.0)


def _mul(a: Sequence[float], b: Sequence[float]) -> tuple[float, float, float, float]:
    ax, ay, az, aw = a
    bx, by, bz, bw = b
    return (
        aw * bx + ax * bw + ay * bz - az * by,
        aw * by - ax * bz + ay * bw + az * bx,
        aw * bz + ax * by - ay * bx + az * bw,
        aw * bw - ax * bx - ay * by - az * bz,
    )


class Messages:
    """A sample's ROS 2 rows: (topic index, kind, row of doubles) for each topic it has data for."""

    def __init__(self, enu: bool, overrides: UnitOverrides | None = None) -> None:
        from .units import to_si, units

        self.units: dict[str, dict[str, str]] = units(overrides)
        self.to_si = to_si
        self.enu = enu
        self.conv: Conventions | None = None  # the sample's, once its Sensor has found them

    @property
    def turn(self) -> bool:
        """Whether the data are turned into east-north-up (not when already so)."""
        return self.enu and not (self.conv is not None and self.conv.world == "enu")

    def frames(self, frame_id: str | None) -> tuple[str, str]:
        """(the sensor's frame, the world's), named by the world the data are in."""
        ros = self.enu or (self.conv is not None and self.conv.world == "enu")
        return frame_id or default_frame(ros), "map" if ros else "map_ned"

    def vector(self, name: str, values: Mapping[str, ItemValue], items: Sequence[str] = ("x", "y", "z")) -> list[float]:
        out = [float(self.to_si(float(values[i]), self.units[name][i])[0]) for i in items]
        if self.turn and len(out) == 3:
            out[1], out[2] = -out[1], -out[2]
        return out

    def quaternion(self, values: Mapping[str, ItemValue]) -> tuple[float, ...] | None:
        """x, y, z, w of the body relative to the world; None while the conventions are unknown."""
        if self.conv is None or self.conv.quaternion is None:
            return None
        wire = [float(values[c]) for c in "xyzw"]
        x, y, z, w = wire[1:] + wire[:1] if self.conv.quaternion == "wxyz" else wire
        norm = math.sqrt(x * x + y * y + z * z + w * w) or 1.0
        q = (x / norm, y / norm, z / norm, w / norm)
        return _mul(_mul(_NED_TO_ENU, q), _FRD_TO_FLU) if self.turn else q

    def imu(
        self, readings: Readings, orientation: str | None, rate: str, acceleration: str, uncertainty: str | None = None
    ) -> list[float]:
        row = [0.0] * IMU_ROW
        row[3] = 1.0
        row[4] = row[16] = row[28] = -1.0
        q = self.quaternion(readings[orientation]) if orientation in readings else None
        if q is not None:
            row[0:4] = q
            row[4] = 0.0
            if uncertainty in readings:
                sigma = self.vector(uncertainty, readings[uncertainty], ("roll", "pitch", "yaw"))
                row[4], row[8], row[12] = (s * s for s in sigma)
        for name, start in ((rate, 13), (acceleration, 25)):
            if name in readings:
                row[start : start + 3] = self.vector(name, readings[name])
                row[start + 3] = 0.0
        return row

    def rows(self, sample: Sample) -> Iterator[tuple[int, list[float]]]:
        r = sample.readings
        self.conv = sample.conventions
        if "ScaledAccVector" in r or "ScaledGyroVector" in r:
            yield 0, self.imu(r, None, "ScaledGyroVector", "ScaledAccVector")
        if any(n in r for n in ("OrientationQuaternion", "CompensatedAngularRate", "CompensatedAcceleration")):
            yield (
                1,
                self.imu(
                    r,
                    "OrientationQuaternion",
                    "CompensatedAngularRate",
                    "CompensatedAcceleration",
                    "AttitudeUncertaintyEuler",
                ),
            )
        if "ScaledMageVector" in r:
            yield 2, self.vector("ScaledMageVector", r["ScaledMageVector"]) + [0.0] * 9
        if "ScaledAmbientPressure" in r:
            yield 3, self.vector("ScaledAmbientPressure", r["ScaledAmbientPressure"], ("ambient_pressure",)) + [0.0]
        if sample.device_time is not None:
            from .stamps import gps_to_unix

            unix = gps_to_unix(None, sample.device_time)
            if math.isfinite(unix) and 0 <= unix < 2.0**31:
                whole = math.floor(unix)
                yield 4, [float(whole), float(min(999_999_999, round((unix - whole) * 1e9)))]
        q = self.quaternion(r["OrientationQuaternion"]) if "OrientationQuaternion" in r else None
        if q is not None:
            yield 5, [0.0, 0.0, 0.0, *q]


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="ahrs-bridge",
        description="Serve a live sensor to Foxglove "
        "(WebSocket protocol foxglove.websocket.v1) as ROS 2 messages on /imu/* and /tf.",
    )
    add_version(p)
    p.add_argument("port", metavar="PORT", help="the sensor's serial device")
    p.add_argument("--host", default="127.0.0.1", help="address to listen on (default: 127.0.0.1)")
    p.add_argument("--port", dest="listen", type=int, default=8765, help="TCP port to listen on (default: 8765)")
    p.add_argument("--mcap", metavar="FILE", help="also write the stream to this MCAP file")
    p.add_argument(
        "--frame-id", metavar="NAME", help="the sensor's frame (default: imu_link_ned, or imu_link with --enu)"
    )
    p.add_argument(
        "--enu",
        action="store_true",
        help="turn north-east-down data into east-north-up, forward-left-up (east-north-up data: as they are)",
    )
    return p


def _channels(foxglove: ModuleType) -> list[tuple[Any, Ros2Kind]]:
    out: list[tuple[Any, Ros2Kind]] = []
    for topic, kind in TOPICS:
        name, definition = _native.Ros2Writer.schema(kind)
        channel = foxglove.Channel(
            topic, message_encoding="cdr", schema=foxglove.Schema(name=name, encoding="ros2msg", data=definition)
        )
        out.append((channel, kind))
    return out


@command("ahrs-bridge")
def main(argv: list[str] | None = None) -> int:
    args = parser().parse_args(argv)
    try:
        foxglove = needs("foxglove", "ahrs-bridge", "bridge")
    except ImportError as e:
        print(f"ahrs-bridge: {e}", file=sys.stderr)
        return 1
    import struct

    messages, sent = Messages(args.enu), 0
    sensor = open_sensor("ahrs-bridge", args.port)
    if sensor is None:
        return 1
    server = mcap = None
    try:
        try:
            server = foxglove.start_server(name="ahrs-bridge", host=args.host, port=args.listen)
            mcap = foxglove.open_mcap(args.mcap, allow_overwrite=True) if args.mcap else None
        except Exception as e:  # the SDK's own errors: an address in use, say
            print(f"ahrs-bridge: {e}", file=sys.stderr)
            return 1
        channels = _channels(foxglove)
        print(f"ahrs-bridge: serving {args.port} on ws://{args.host}:{server.port}", file=sys.stderr, flush=True)
        for sample in sensor:
            for topic, row in messages.rows(sample):
                channel, kind = channels[topic]
                frame, world = messages.frames(args.frame_id)
                frame_id, other = world if kind == "tf" else frame, {"tf": frame, "time_reference": "gps"}.get(kind, "")
                data = _native.Ros2Writer.encode(
                    kind, sample.wall_ns, frame_id, other, struct.pack(f"{len(row)}d", *row)
                )
                channel.log(data, log_time=sample.wall_ns)
                sent += 1
    except KeyboardInterrupt:
        pass
    finally:
        sensor.close()
        if mcap is not None:
            mcap.close()
        if server is not None:
            server.stop()
    print(f"ahrs-bridge: stopped after {sent} messages", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
