#!/usr/bin/env python3
"""The first thing to run: the driver end to end, no hardware needed.

With no DEVICE set it starts the simulated sensor on a pseudo-terminal; with
DEVICE=/dev/ttyXXX (and BAUD=...) it uses a real sensor. Three acts:
1. AHRSClient: open, configure, start the stream, and a live attitude view;
2. BufferedAHRSClient: the background reader, with packets per second;
3. a recorded stream decoded by parse_data_stream_py.
"""
import math
import os
import subprocess
import sys
import tempfile
import time

import tavrin_ahrs_driver as ahrs

HERE = os.path.dirname(os.path.abspath(__file__))
SIMULATOR = os.path.join(HERE, "ahrs_sim.py")
SECONDS = float(os.environ.get("DEMO_SECONDS", "3"))


def start_simulator(*args):
    proc = subprocess.Popen([sys.executable, SIMULATOR, *args], stdout=subprocess.PIPE, text=True)
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
        lines.append(f"  sensor attitude  roll {deg(euler['roll'])}  pitch {deg(euler['pitch'])}  yaw {deg(euler['yaw'])}")
    if filt:
        lines.append(f"  filter attitude  roll {deg(filt['roll'])}  pitch {deg(filt['pitch'])}  "
                     f"yaw {deg(filt['yaw'])}  ({filt['valid']})")
    if gyro:
        lines.append(f"  angular rate     x {gyro['x']:+.4f}  y {gyro['y']:+.4f}  z {gyro['z']:+.4f} rad/s")
    if status:
        lines.append(f"  filter state {status['filter_state']}, dynamics mode {status['dynamics_mode']}, "
                     f"status flags 0x{status['status_flags']:04x}")
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


def act_recorded(device, baud, workdir):
    path = os.path.join(workdir, "flight.bin")
    if device is None:
        subprocess.run([sys.executable, SIMULATOR, "--record", path, "--seconds", "2"], check=True,
                       stderr=subprocess.DEVNULL)
    else:
        subprocess.run([sys.executable, os.path.join(HERE, "ahrs_record.py"), "--device", device,
                        "--baud", str(baud), "--seconds", "2", "--output", path], check=True)
    print(f"\n3. parse_data_stream_py on a 2-second recording ({os.path.getsize(path)} bytes)")
    code = f"import tavrin_ahrs_driver as m; m.parse_data_stream_py({path!r})"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    lines = done.stdout.splitlines()
    for line in lines[:2]:
        print("  " + (line if len(line) < 160 else line[:157] + "..."))
    print(f"  ... {len(lines)} packets in all; standard error said: {done.stderr.strip()}")


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
        with tempfile.TemporaryDirectory() as workdir:
            act_recorded(device, baud, workdir)
    finally:
        if sim:
            sim.terminate()
            sim.wait(5)


if __name__ == "__main__":
    main()
