"""Recorded-stream decoding speed: parse_data_stream_py against plain Python
and against the floor.

Generates a recorded file of mixed sensor and filter packets, checks on a
small file that the native module and the pure-Python decoder print the same
lines, then times each on the large file with standard output sent to
/dev/null; the driver also as built with std::to_chars digits instead of
Dragonbox, when that build is installed.  The floor is a native program that reads the same file and writes
the same lines (computed beforehand), one write per line, and does nothing
else.  Each side runs in its own process, because the module writes to file
descriptor 1 directly rather than through sys.stdout.
"""

import os
import subprocess
import sys

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH_DIR)
import harness  # noqa: E402

DECODERS = ("parse_data_stream_py", "pure Python")


def _decoder(name):
    if name == "parse_data_stream_py":
        import tavrin_ahrs_driver

        return tavrin_ahrs_driver.parse_data_stream_py
    import pure_python_decoder

    return pure_python_decoder.parse_data_stream


def time_decode(decoder, path):
    """Child: seconds one decoder takes over `path` (output wherever fd 1 goes)."""
    import time

    decode = _decoder(decoder)
    start = time.perf_counter()
    decode(path)
    return time.perf_counter() - start


def run_decoder(name, path, stdout=subprocess.DEVNULL, module_path=None):
    """(seconds, standard error) of one decoder over `path` in a fresh interpreter."""
    return harness.run_child(
        "bench_parse", "time_decode", stdout=stdout, module_path=module_path, decoder=name, path=path
    )


def outputs_match(path, workdir):
    """Both decoders' standard output and closing line on a small file; None if equal."""
    seen = {}
    for i, name in enumerate(DECODERS):
        out_path = os.path.join(workdir, f"check-{i}.out")
        with open(out_path, "wb") as out:
            _, err = run_decoder(name, path, stdout=out)
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


def floor_seconds(path, lines_path):
    done = subprocess.run(
        [harness.native_tool("floor"), path, lines_path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True
    )
    if done.returncode != 0:
        raise RuntimeError(f"floor failed:\n{done.stderr}")
    return float(done.stderr.split()[0])


def median(values):
    return sorted(values)[len(values) // 2]


def measure(path, packets, workdir, repeat=3, python_repeat=1):
    """Times the decoders and the floor on a recorded file of `packets`
    packets, interleaved run by run so that they share the machine's load;
    medians count. The std::to_chars build is timed when it is installed."""
    lines = os.path.join(workdir, "expected-lines.txt")
    with open(lines, "wb") as out:
        run_decoder("parse_data_stream_py", path, stdout=out)
    builds = {"native": None}
    if os.path.isdir(harness.TO_CHARS_BUILD):
        builds["to_chars"] = harness.TO_CHARS_BUILD
    if os.environ.get("AHRS_BENCH_BASELINE"):  # an earlier build to compare with
        builds["baseline"] = os.environ["AHRS_BENCH_BASELINE"]
    runs = {name: [] for name in [*builds, "floor"]}
    for _ in range(repeat):
        for name, module_path in builds.items():
            runs[name].append(run_decoder("parse_data_stream_py", path, module_path=module_path)[0])
        runs["floor"].append(floor_seconds(path, lines))
    python = min(run_decoder("pure Python", path)[0] for _ in range(python_repeat))
    os.unlink(lines)
    native, floor = median(runs["native"]), median(runs["floor"])
    figures = {
        "packets": packets,
        "native_seconds": native,
        "python_seconds": python,
        "floor_seconds": floor,
        "native_packets_per_s": packets / native,
        "python_packets_per_s": packets / python,
        "floor_packets_per_s": packets / floor,
        "native_ns_per_packet": 1e9 * native / packets,
        "floor_ns_per_packet": 1e9 * floor / packets,
        "ratio_to_python": python / native,
        "time_over_floor": native / floor,
        "runs": runs,
    }
    for name in ("to_chars", "baseline"):
        if name in builds:
            seconds = median(runs[name])
            figures.update(
                {
                    f"{name}_seconds": seconds,
                    f"{name}_packets_per_s": packets / seconds,
                    f"{name}_ns_per_packet": 1e9 * seconds / packets,
                    f"{name}_time_over_floor": seconds / floor,
                    f"speed_over_{name}": seconds / native,
                }
            )
    return figures
