"""Builds MIP packets and fields for tests, framed as the simulator frames them."""

from tavrin_ahrs_tools.frames import field, frame

SENSOR = 0x80
ESTIMATE = 0x82
# The three commands that set the sensor up, as they go on the wire.
CONFIGURE = [bytes.fromhex(h) for h in ("756501020202e1c7", "75650c0505110101000319", "75650c050511010300051d")]


def packet(descriptor_set: int, payload: bytes = b"") -> bytes:
    return frame(descriptor_set, payload)


def corrupted(p: bytes) -> bytes:
    """The packet with one bit of its checksum flipped."""
    return p[:-1] + bytes([p[-1] ^ 1])


def acc(x=1.0, y=2.0, z=3.0) -> bytes:
    return field(0x04, "fff", x, y, z)


def euler(roll=0.5, pitch=-0.25, yaw=1.0, valid=1) -> bytes:
    return field(0x05, "fffH", roll, pitch, yaw, valid)
