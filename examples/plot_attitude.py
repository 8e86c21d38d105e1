#!/usr/bin/env python3
"""Plot roll, pitch and yaw over time from a recorded stream file.

    python examples/plot_attitude.py flight.bin attitude.png

Uses the sensor's complementary-filter Euler angles, timed by the GPS
correlation timestamp that sensor packets carry.
"""
import contextlib
import math
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt

import tavrin_ahrs_driver as ahrs


@contextlib.contextmanager
def quiet_descriptors():
    """The driver reports each packet on descriptors 1 and 2; hide that here."""
    saved = [os.dup(1), os.dup(2)]
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 1)
        os.dup2(null, 2)
        yield
    finally:
        os.dup2(saved[0], 1)
        os.dup2(saved[1], 2)
        for fd in (*saved, null):
            os.close(fd)


def read_attitude(path):
    client = ahrs.AHRSClient()
    client.open_file(path)
    times, angles, now = [], [], None
    with quiet_descriptors():
        while True:
            try:
                readings = client.read_packet()
            except ValueError:  # the end of the recording
                break
            for reading in readings:
                if "gps_time_of_week" in reading:
                    now = reading["gps_time_of_week"]
                elif set(reading) == {"roll", "pitch", "yaw"} and now is not None:
                    times.append(now)
                    angles.append([math.degrees(float(reading[k])) for k in ("roll", "pitch", "yaw")])
    return times, angles


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    source, target = sys.argv[1:]
    times, angles = read_attitude(source)
    if not times:
        sys.exit(f"{source}: no sensor attitude found")
    t0 = times[0]
    fig, ax = plt.subplots(figsize=(9, 4.5))
    for i, name in enumerate(("roll", "pitch", "yaw")):
        ax.plot([t - t0 for t in times], [a[i] for a in angles], label=name)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("angle (degrees)")
    ax.set_title(f"Attitude from {os.path.basename(source)}")
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(target, dpi=100)
    print(f"{target}: {len(times)} samples over {times[-1] - t0:.1f} s")


if __name__ == "__main__":
    main()
