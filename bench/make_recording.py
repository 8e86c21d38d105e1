#!/usr/bin/env python3
"""Writes a recorded stream of simulated sensor and filter packets, alternating."""

import argparse
import sys

from tavrin_ahrs_tools.simulated import PacketBuilder

DEFAULT_PACKETS = 200_000


def make_recording(path, packets=DEFAULT_PACKETS, rate=100.0):
    """Write `packets` packets (sensor first) sampled at `rate` pairs a second;
    returns the file size in bytes."""
    builder = PacketBuilder(rate)
    with open(path, "wb") as sink:
        for k in range(packets):
            sink.write(builder.packet(k))
        return sink.tell()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument(
        "--packets", type=int, default=DEFAULT_PACKETS, help=f"number of packets; default {DEFAULT_PACKETS}"
    )
    parser.add_argument(
        "--rate", type=float, default=100.0, help="packets of each kind per second of simulated time; default 100"
    )
    parser.add_argument("--output", required=True, help="file to write")
    opts = parser.parse_args(argv)
    if opts.packets < 0 or opts.rate <= 0:
        parser.error("--packets must be zero or more and --rate greater than zero")
    size = make_recording(opts.output, opts.packets, opts.rate)
    print(f"{opts.packets} packets, {size} bytes, in {opts.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
