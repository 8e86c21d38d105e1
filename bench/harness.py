"""What every benchmark needs: fresh interpreters, native helpers, memory figures.

Each measurement runs in an interpreter of its own, because the module writes
to descriptors 1 and 2 directly and because memory and thread figures must
not mix.  A child is a plain function of a bench module, called as

    python harness.py MODULE FUNCTION JSON_KWARGS RESULT_FILE

that returns something JSON can hold; the parent gets it back from the file.
"""

import contextlib
import json
import os
import subprocess
import sys
import tempfile

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH_DIR)
NATIVE_DIR = os.path.join(ROOT, "build", "bench")
if BENCH_DIR not in sys.path:
    sys.path.insert(0, BENCH_DIR)


class ChildFailed(RuntimeError):
    pass


def run_child(module, function, stdout=subprocess.DEVNULL, timeout=900, module_path=None, **kwargs):
    """Runs bench/MODULE.FUNCTION(**kwargs) in a fresh interpreter; returns
    (its result, its standard error as text). `module_path`, when given, is
    searched first for the driver module (another build of it)."""
    env = None
    if module_path:
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [module_path, os.environ.get("PYTHONPATH")]))}
    with tempfile.NamedTemporaryFile(prefix="ahrs-bench-", suffix=".json") as result:
        done = subprocess.run(
            [sys.executable, os.path.abspath(__file__), module, function, json.dumps(kwargs), result.name],
            stdout=stdout,
            stderr=subprocess.PIPE,
            timeout=timeout,
            env=env,
        )
        err = done.stderr.decode(errors="replace")
        if done.returncode != 0:
            raise ChildFailed(f"{module}.{function} exited with {done.returncode}:\n{err}")
        with open(result.name) as f:
            return json.load(f), err


def native_tool(name):
    """bench/NAME.cpp compiled with g++ -O2 into build/bench/, when stale."""
    source = os.path.join(BENCH_DIR, name + ".cpp")
    binary = os.path.join(NATIVE_DIR, name)
    if not os.path.exists(binary) or os.path.getmtime(binary) < os.path.getmtime(source):
        os.makedirs(NATIVE_DIR, exist_ok=True)
        subprocess.run(["g++", "-O2", "-std=c++20", "-Wall", "-Wextra", "-o", binary, source], check=True)
    return binary


# The driver built with std::to_chars digits instead of Dragonbox
# (`make bench` installs it here), for the side-by-side figure.
TO_CHARS_BUILD = os.path.join(NATIVE_DIR, "to_chars")


def module_missing():
    """Why tavrin_ahrs_driver cannot be imported by this interpreter, or None."""
    probe = subprocess.run([sys.executable, "-c", "import tavrin_ahrs_driver"], capture_output=True, text=True)
    return probe.stderr.strip().splitlines()[-1] if probe.returncode else None


def rss_kib():
    """Resident set size (VmRSS) in KiB."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS line")


@contextlib.contextmanager
def silenced(*fds):
    """Points the descriptors at /dev/null for the block (the module prints
    to 1 and 2 directly), and back afterwards so a failure still shows."""
    saved = [os.dup(fd) for fd in fds]
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        for fd in fds:
            os.dup2(null, fd)
        yield
    finally:
        for fd, old in zip(fds, saved):
            os.dup2(old, fd)
            os.close(old)
        os.close(null)


def other_busy_processes(threshold=0.2, window=0.5):
    """Processes not of this run that used more than `threshold` of a core
    over `window` seconds: figures taken while they run are lower."""
    import time

    def cpu_times():
        times = {}
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                with open(f"/proc/{pid}/comm") as f:
                    name = f.read().strip()
            except OSError:
                continue
            times[pid] = (name, int(fields[11]) + int(fields[12]))
        return times

    tick = os.sysconf("SC_CLK_TCK")
    before = cpu_times()
    time.sleep(window)
    after = cpu_times()
    busy = []
    for pid, (name, used) in after.items():
        if pid in before and (used - before[pid][1]) / tick / window > threshold and int(pid) != os.getpid():
            busy.append(name)
    return sorted(busy)


if __name__ == "__main__":
    module_name, function_name, kwargs, result_path = sys.argv[1:5]
    module = __import__(module_name)
    value = getattr(module, function_name)(**json.loads(kwargs))
    with open(result_path, "w") as out:
        json.dump(value, out)
