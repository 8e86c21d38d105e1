"""Roll, pitch and yaw of a recording in degrees, in one PNG (needs matplotlib).

python examples/plot_attitude.py RECORDING OUTPUT.png
"""

import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

from tavrin_ahrs_tools import load


def main(recording: str, output: str) -> int:
    angles = load(recording).to_pandas("CFEulerAngles")
    seconds = angles["time"] - angles["time"].iloc[0]
    fig, ax = plt.subplots(figsize=(10, 4))
    for axis in ("roll", "pitch", "yaw"):
        ax.plot(seconds, np.degrees(angles[axis]), label=axis)
    ax.set_xlabel("s from the start")
    ax.set_ylabel("deg")
    ax.legend()
    fig.savefig(output, dpi=100)
    print(f"{output}: {len(angles)} rows")
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
