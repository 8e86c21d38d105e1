#!/usr/bin/env python3
"""The first thing to run: the driver end to end, no hardware needed.

With no DEVICE set it starts the simulated sensor on a pseudo-terminal; with
DEVICE=/dev/ttyXXX (and BAUD=...) it uses a real sensor. Three acts:
1. AHRSClient: open, configure, start the stream, and a live attitude view;
2. BufferedAHRSClient: the background reader, with packets per second;
3. a recording and its analysis with the installed tools: ahrs-sim --record
   (or ahrs-record), ahrs-info, ahrs-dump, ahrs-plot and load().
The recording and what the tools make of it stay in build/demo.
"""

import math
import os
import subprocess
import sys
import time

import tavrin_ahrs_driver as ahrs

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORKDIR = os.path.join(ROOT, "build", "demo")
SECONDS = float(os.environ.get("DEMO_SECONDS", "3"))
RECORD_SECONDS = 10


def script(name):
    """An installed console script, beside the interpreter running the demo."""
    return os.path.join(os.path.dirname(sys.executable), name)


def start_simulator(*args):
    proc = subprocess.Popen([script("ahrs-sim"), *args], stdout=subprocess.PIPE, text=True)
    path = proc.stdout.readline().strip()
    if not path:
        sys.exit("the simulator did not start")
    return proc, path


def deg(value):
    return f"{math.degrees(value):8.2f}°"


class LiveView:
    """Redraws a block of lines in place on a terminal; prints now and then otherwise."""

    def __init__(self):
        self.tty = sys.stdout.isatty()
        self.drawn = 0
        self.last = 0.0

    def show(self, lines, final=False):
        now = time.monotonic()
        if not self.tty and not final and now - self.last < 1.0:
            return
        self.last = now
        if self.tty and self.drawn:
            sys.stdout.write(f"\x1b[{self.drawn}F")
        for line in lines:
            sys.stdout.write("\x1b[2K" + line + "\n" if self.tty else line + "\n")
        self.drawn = len(lines)
        sys.stdout.flush()


def attitude_lines(state):
    euler = state.get("CFEulerAngles")
    filt = state.get("OrientationEuler")
    gyro = state.get("ScaledGyroVector")
    status = state.get("FilterStatus")
    lines = []
    if euler:
        lines.append(
            f"  sensor attitude  roll {deg(euler['roll'])}  pitch {deg(euler['pitch'])}  yaw {deg(euler['yaw'])}"
        )
    if filt:
        lines.append(
            f"  filter attitude  roll {deg(filt['roll'])}  pitch {deg(filt['pitch'])}  "
            f"yaw {deg(filt['yaw'])}  ({filt['valid']})"
        )
    if gyro:
        lines.append(f"  angular rate     x {gyro['x']:+.4f}  y {gyro['y']:+.4f}  z {gyro['z']:+.4f} rad/s")
    if status:
        lines.append(
            f"  filter state {status['filter_state']}, dynamics mode {status['dynamics_mode']}, "
            f"status flags 0x{status['status_flags']:04x}"
        )
    return lines or ["  (waiting for data)"]


def act_synchronous(device, baud):
    print(f"1. AHRSClient on {device}: configure, start the stream, read() for {SECONDS:g} s")
    client = ahrs.AHRSClient()
    client.open(device, baud)
    client.configure()
    client.start_stream()
    state, packets, view = {}, 0, LiveView()
    end = time.monotonic() + SECONDS
    while time.monotonic() < end:
        snapshot = client.read()
        if snapshot:
            packets += 1
            state.update(snapshot)
            view.show(attitude_lines(state) + [f"  packets read: {packets}"])
    view.show(attitude_lines(state) + [f"  packets read: {packets}"], final=True)
    del client  # releases the device for the next act


def act_buffered(device, baud):
    print(f"\n2. BufferedAHRSClient on {device}: a background reader for {SECONDS:g} s")
    client = ahrs.BufferedAHRSClient(device, baud, 1024, False)
    start = time.monotonic()
    state, packets, view = {}, 0, LiveView()
    while time.monotonic() - start < SECONDS:
        time.sleep(0.1)
        for _stamp, snapshot in client.take():
            packets += 1
            state.update(snapshot)
        rate = packets / (time.monotonic() - start)
        view.show(attitude_lines(state) + [f"  packets received: {packets} ({rate:.0f} per second)"])
    rate = packets / (time.monotonic() - start)
    view.show(attitude_lines(state) + [f"  packets received: {packets} ({rate:.0f} per second)"], final=True)
    del client


def shown(command, lines=6):
    """Runs an installed tool as a user would, showing the command and the
    start of what it says."""
    print(f"\n$ {' '.join(command)}")
    done = subprocess.run([script(command[0]), *command[1:]], capture_output=True, text=True, cwd=WORKDIR)
    out = (done.stdout + done.stderr).splitlines()
    for line in out[:lines]:
        print("  " + line)
    if len(out) > lines:
        print(f"  ... ({len(out) - lines} more lines)")
    return done.returncode == 0


def act_recorded(device, baud):
    os.makedirs(WORKDIR, exist_ok=True)
    print(f"\n3. A {RECORD_SECONDS}-second recording and the tools that read it (in {WORKDIR})")
    if device is None:
        shown(["ahrs-sim", "--record", "flight.bin", "--seconds", str(RECORD_SECONDS)])
    else:
        shown(
            [
                "ahrs-record",
                "--device",
                device,
                "--baud",
                str(baud),
                "--seconds",
                str(RECORD_SECONDS),
                "--output",
                "flight.bin",
            ]
        )
    shown(["ahrs-info", "flight.bin"], lines=14)
    if shown(["ahrs-dump", "flight.bin", "--format", "csv", "-o", "flight"]):
        print("  wrote " + ", ".join(sorted(f for f in os.listdir(WORKDIR) if f.endswith(".csv"))))
    shown(["ahrs-plot", "flight.bin", "-o", "flight.png"])
    print("\n>>> from tavrin_ahrs_tools import load")
    print('>>> load("flight.bin").records["CFEulerAngles"][:3]')
    from tavrin_ahrs_tools import load

    print("  " + repr(load(os.path.join(WORKDIR, "flight.bin")).records["CFEulerAngles"][:3]).replace("\n", "\n  "))


def next_step(device, baud):
    """Where to go from here, with the commands' path as it works when copied
    from here (they are installed beside the interpreter, not on PATH)."""
    bin_dir = os.path.dirname(sys.executable)
    relative = os.path.relpath(bin_dir)
    if not relative.startswith(".."):
        bin_dir = relative if "/" in relative else os.path.join(".", relative)
    print(f"\nThe tools are in {bin_dir} (`. {bin_dir}/activate` puts them on PATH). Next, try:")
    if device is None:
        record = f"{bin_dir}/ahrs-sim --record flight.bin --seconds 60"
    else:
        record = f"{bin_dir}/ahrs-record --device {device} --baud {baud} --seconds 60 --output flight.bin"
    print(f"  {record} && {bin_dir}/ahrs-info flight.bin")


def main():
    sys.stdout.reconfigure(line_buffering=True)  # keep our lines in order with the tools' output
    device = os.environ.get("DEVICE") or None
    baud = int(os.environ.get("BAUD", "115200"))
    sim = None
    if device is None:
        sim, path = start_simulator("--rate", "100", "--linger", "5")
        print(f"Simulated sensor on {path}\n")
    else:
        path = device
    try:
        act_synchronous(path, baud)
        act_buffered(path, baud)
        act_recorded(device, baud)
    finally:
        if sim:
            sim.terminate()
            sim.wait(5)
    next_step(device, baud)


if __name__ == "__main__":
    main()
