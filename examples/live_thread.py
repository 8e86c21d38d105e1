"""A live sensor read on a thread of its own, the main thread printing what it found.

python examples/live_thread.py PORT [SECONDS]      e.g. /dev/serial/by-id/usb-...
"""

import sys
import threading

from tavrin_ahrs_tools import Sensor


def main(port: str, seconds: float = 2.0) -> int:
    counts: dict[str, int] = {}

    def read() -> None:
        with Sensor(port) as sensor:
            for sample in sensor.samples(seconds=seconds):
                counts[sample.set] = counts.get(sample.set, 0) + 1

    reader = threading.Thread(target=read)
    reader.start()
    reader.join()
    for name, n in sorted(counts.items()):
        print(f"{name}: {n} samples")
    return 0 if counts else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], *map(float, sys.argv[2:3])))
