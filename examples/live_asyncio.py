"""A live sensor in asyncio, ending on a deadline, with the roll in degrees.

python examples/live_asyncio.py PORT [SECONDS]
"""

import asyncio
import math
import sys

from tavrin_ahrs_tools import Sensor


async def main(port: str, seconds: float = 2.0) -> int:
    seen = 0
    async with Sensor(port) as sensor:
        async for sample in sensor.samples(seconds=seconds):
            seen += 1
            if "CFEulerAngles" in sample and seen % 50 == 1:
                roll = math.degrees(float(sample["CFEulerAngles"]["roll"]))
                print(f"{sample.device_time:.2f} s  roll {roll:7.2f} deg")
    print(f"{seen} samples")
    return 0 if seen else 1


if __name__ == "__main__":
    sys.exit(asyncio.run(main(sys.argv[1], *map(float, sys.argv[2:3]))))
