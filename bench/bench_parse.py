#!/usr/bin/env python3
"""Recorded-stream decoding speed: parse_data_stream_py against plain Python.

Generates a recorded file of mixed sensor and filter packets, checks on a
small file that the native module and the pure-Python decoder print the same
lines, then times each on the large file with standard output sent to
/dev/null.  Each side runs in its own interpreter, because the module writes
to file descriptor 1 directly rather than through sys.stdout.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
from make_recording import DEFAULT_PACKETS, make_recording  # noqa: E402

DECODERS = {
    "parse_data_stream_py": "import tavrin_ahrs_driver\n"
                            "decode = tavrin_ahrs_driver.parse_data_stream_py",
    "pure Python": "import pure_python_decoder\n"
                   "decode = pure_python_decoder.parse_data_stream",
}

TIMED_RUN = """
import sys, time
sys.path.insert(0, {bench_dir!r})
{setup}
path, result = sys.argv[1], sys.argv[2]
start = time.perf_counter()
decode(path)
elapsed = time.perf_counter() - start
with open(result, "w") as out:
    out.write(repr(elapsed))
"""


def module_missing():
    probe = subprocess.run([sys.executable, "-c", "import tavrin_ahrs_driver"],
                           capture_output=True, text=True)
    return probe.stderr.strip().splitlines()[-1] if probe.returncode else None


def run_decoder(name, path, workdir, stdout=subprocess.DEVNULL):
    """Run one decoder over `path` in a fresh interpreter; returns (seconds, stderr)."""
    result = os.path.join(workdir, "elapsed")
    code = TIMED_RUN.format(bench_dir=BENCH_DIR, setup=DECODERS[name])
    done = subprocess.run([sys.executable, "-c", code, path, result],
                          stdout=stdout, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{name} failed (exit {done.returncode}):\n{done.stderr}")
    with open(result) as f:
        return float(f.read()), done.stderr


def outputs_match(path, workdir):
    """Both decoders' standard output and closing line on a small file; None if equal."""
    seen = {}
    for name in DECODERS:
        out_path = os.path.join(workdir, f"{len(seen)}.out")
        with open(out_path, "wb") as out:
            _, err = run_decoder(name, path, workdir, stdout=out)
        with open(out_path, "rb") as out:
            seen[name] = (out.read().decode().splitlines(), err.strip())
    (native, (n_lines, n_err)), (python, (p_lines, p_err)) = seen.items()
    for i, (a, b) in enumerate(zip(n_lines, p_lines)):
        if a != b:
            return f"line {i + 1} differs:\n  {native}: {a}\n  {python}: {b}"
    if len(n_lines) != len(p_lines):
        return f"{native} printed {len(n_lines)} lines, {python} {len(p_lines)}"
    if n_err != p_err:
        return f"closing lines differ:\n  {native}: {n_err}\n  {python}: {p_err}"
    return None


def best_time(name, path, workdir, repeat):
    return min(run_decoder(name, path, workdir)[0] for _ in range(repeat))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=DEFAULT_PACKETS,
                        help=f"packets in the timed file; default {DEFAULT_PACKETS}")
    parser.add_argument("--check-packets", type=int, default=2000,
                        help="packets in the file whose outputs are compared; default 2000")
    parser.add_argument("--repeat", type=int, default=3,
                        help="native runs, best one counts; default 3 (the baseline runs once)")
    parser.add_argument("--json", metavar="FILE", help="also write the figures to FILE")
    opts = parser.parse_args(argv)

    missing = module_missing()
    if missing:
        print(f"bench_parse: cannot import tavrin_ahrs_driver with {sys.executable} ({missing}).\n"
              "Build and install it first (make install), then run this with the project's "
              "interpreter: .venv/bin/python bench/bench_parse.py", file=sys.stderr)
        return 2

    with tempfile.TemporaryDirectory(prefix="ahrs-bench-") as workdir:
        small = os.path.join(workdir, "check.bin")
        make_recording(small, opts.check_packets)
        mismatch = outputs_match(small, workdir)
        if mismatch:
            print(f"bench_parse: the two decoders disagree on {small}: {mismatch}",
                  file=sys.stderr)
            return 1
        print(f"outputs identical on {opts.check_packets} packets")

        big = os.path.join(workdir, "stream.bin")
        size = make_recording(big, opts.packets)
        print(f"timed file: {opts.packets} packets, {size / 1e6:.1f} MB")
        native = best_time("parse_data_stream_py", big, workdir, opts.repeat)
        python = best_time("pure Python", big, workdir, 1)

    figures = {
        "packets": opts.packets,
        "native_packets_per_s": opts.packets / native,
        "python_packets_per_s": opts.packets / python,
        "native_seconds": native,
        "python_seconds": python,
        "ratio": python / native,
    }
    print(f"{'parse_data_stream_py':<22}{figures['native_packets_per_s']:>14,.0f} packets/s"
          f"  ({native:.3f} s)")
    print(f"{'pure-Python decoder':<22}{figures['python_packets_per_s']:>14,.0f} packets/s"
          f"  ({python:.3f} s)")
    print(f"{'ratio':<22}{figures['ratio']:>14.1f} x")
    if opts.json:
        with open(opts.json, "w") as f:
            json.dump(figures, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
