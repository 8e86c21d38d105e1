"""Records every byte a sensor sends while the program uses its samples, then
loads the recording it made.

    python examples/record_while_streaming.py PORT OUTPUT.bin [SECONDS]
"""

import sys

from tavrin_ahrs_tools import Sensor, load


def main(port: str, output: str, seconds: float = 2.0) -> int:
    with Sensor(port, record=output) as sensor:
        live = sum(1 for _ in sensor.samples(seconds=seconds))
    recording = load(output)  # complete once the Sensor is closed
    print(f"{live} samples live, {recording.packets} packets in {output}")
    return 0 if recording.packets else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2], *map(float, sys.argv[3:4])))
