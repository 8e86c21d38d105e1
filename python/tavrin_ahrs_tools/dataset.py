"""ahrs-dataset: any number of recordings as one Hive-partitioned Parquet dataset.

DATASET/record=<Record>/recording=<name>/part-0.parquet holds a record's
table of one recording (the rows load() gives, units in the field metadata);
DATASET/recordings.parquet one row per recording: what it held, how whole it
was, its time span and dropouts, or why it could not be read.

Recordings are converted on Dask distributed: a LocalCluster of N worker
processes on this machine, or the workers of an existing cluster (they read
the recordings and write the dataset at the same paths, so both must lie on a
file system the workers share). A recording converted before, with the same
size and modification time, is skipped.
"""

from __future__ import annotations

import argparse
import contextlib
import fnmatch
import hashlib
import os
import re
import shutil
import signal
import stat
import sys
from collections.abc import Collection, Iterable, Iterator, Mapping
from types import ModuleType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .recording import Recording

from .cli import EXIT_INTERRUPTED, add_version, command
from .progress import Progress
from .recording import needs

# One row of recordings.parquet, by column.
Row = dict[str, Any]

SUMMARY = "recordings.parquet"
PART = "part-0.parquet"
DEFAULT_PATTERN = "*.bin"
# (column, Arrow type name) of recordings.parquet, in order.
COLUMNS = (
    ("name", "string"),
    ("path", "string"),
    ("bytes", "int64"),
    ("modified_ns", "int64"),
    ("packets", "int64"),
    ("damaged_runs", "int64"),
    ("skipped_bytes", "int64"),
    ("truncated", "bool_"),
    ("start_time", "float64"),
    ("end_time", "float64"),
    ("dropouts", "int64"),
    ("records", "int64"),
    ("error", "string"),
)


_KINDS = (
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
)


def _not_regular(path: str) -> str | None:
    """Why a file found in a folder is no recording to read (reading a FIFO
    would wait for a writer for ever); None for a regular file."""
    try:
        mode = os.stat(path).st_mode
    except OSError:
        return None  # listed with its error when read
    if stat.S_ISREG(mode):
        return None
    return next((f"not a regular file ({kind})" for test, kind in _KINDS if test(mode)), "not a regular file")


def find_recordings(
    inputs: Iterable[str],
    pattern: str = DEFAULT_PATTERN,
    skipped: list[tuple[str, str]] | None = None,
    dataset: str | None = None,
) -> list[str]:
    """Absolute paths: files as named, and the regular files matching
    `pattern` in folders and their subfolders; a path that does not exist is
    kept, so that it is listed with its error. What matched but is not a
    regular file goes to `skipped` as (path, reason). The `dataset` folder,
    when inside an input folder, is left out: its own part files are no
    recordings."""
    own = os.path.realpath(dataset) if dataset else None
    found = []
    for given in inputs:
        if not os.path.isdir(given):
            found.append(os.path.abspath(given))
            continue
        for folder, subfolders, files in os.walk(given):
            subfolders[:] = sorted(d for d in subfolders if os.path.realpath(os.path.join(folder, d)) != own)
            for name in sorted(files):
                if not fnmatch.fnmatch(name, pattern):
                    continue
                path = os.path.abspath(os.path.join(folder, name))
                reason = _not_regular(path)
                if reason is None:
                    found.append(path)
                elif skipped is not None:
                    skipped.append((path, reason))
    return list(dict.fromkeys(found))


def _safe(text: str) -> str:
    return re.sub(r"[^A-Za-z0-9._-]", "_", text) or "_"


def recording_names(paths: list[str], known: Mapping[str, str]) -> dict[str, str]:
    """Path -> a partition name: the one it had (`known`), else its file name
    without the suffix, or that and a short hash of its path when taken."""
    names = {p: known[p] for p in paths if p in known}
    taken = set(known.values())
    stems = [_safe(os.path.splitext(os.path.basename(p))[0]) for p in paths]
    for path, stem in zip(paths, stems):
        if path in names:
            continue
        name = stem
        if name in taken or stems.count(stem) > 1:
            name = f"{stem}-{hashlib.sha1(path.encode()).hexdigest()[:8]}"
        names[path] = name
        taken.add(name)
    return names


def _stat(path: str) -> tuple[int, int] | tuple[None, None]:
    try:
        st = os.stat(path)
        return st.st_size, st.st_mtime_ns
    except OSError:
        return None, None


def summary(np: ModuleType, rec: Recording) -> Row:
    """Start and end time, dropouts: the columns that need the recording's clock."""
    from . import timeline

    times = timeline.packet_times(np, rec)
    known = times[~np.isnan(times)]
    dropouts = 0
    for name in timeline.CLOCKS:
        if name in rec.records:
            dropouts += int(timeline.clock_gaps(np, timeline.clock_times(rec.records[name], name))[2].sum())
    return {
        "start_time": float(known.min()) if len(known) else None,
        "end_time": float(known.max()) if len(known) else None,
        "dropouts": dropouts,
    }


def _remove_partitions(dataset: str, name: str, keep: Collection[str] = ()) -> None:
    """Drops the recording's partitions of records not in `keep`."""
    if not os.path.isdir(dataset):
        return
    for entry in os.listdir(dataset):
        if entry.startswith("record=") and entry[len("record=") :] not in keep:
            shutil.rmtree(os.path.join(dataset, entry, f"recording={name}"), ignore_errors=True)


def convert(path: str, name: str, dataset: str) -> Row:
    """Runs on a worker: one recording into its partitions; its row of recordings.parquet."""
    size, modified = _stat(path)
    row: Row = {"name": name, "path": path, "bytes": size, "modified_ns": modified}
    try:
        import numpy as np

        from . import columnar
        from .recording import load

        rec = load(path, layout="columns")
        if not rec.packets:
            raise ValueError("no well-formed packet")
        for record in rec.records:
            folder = os.path.join(dataset, f"record={record}", f"recording={name}")
            os.makedirs(folder, exist_ok=True)
            columnar.write_parquet(rec.to_arrow(record), os.path.join(folder, PART))
        _remove_partitions(dataset, name, keep=rec.records)
        row.update(
            packets=rec.packets,
            damaged_runs=len(rec.damaged),
            skipped_bytes=rec.skipped_bytes,
            truncated=rec.truncated,
            records=len(rec.records),
            **summary(np, rec),
        )
    except Exception as e:  # listed in recordings.parquet; the other recordings go on
        _remove_partitions(dataset, name)
        row["error"] = (e.strerror if isinstance(e, OSError) and e.strerror else None) or (
            str(e) if isinstance(e, ValueError) else f"{type(e).__name__}: {e}"
        )
    return row


def read_summary(dataset: str) -> dict[str, Row]:
    """Path -> row of an earlier run's recordings.parquet ({} when there is none)."""
    path = os.path.join(dataset, SUMMARY)
    if not os.path.exists(path):
        return {}
    import pyarrow.parquet as pq

    return {row["path"]: row for row in pq.read_table(path).to_pylist()}


def write_summary(dataset: str, rows: Iterable[Row]) -> None:
    import pyarrow as pa

    from .columnar import write_parquet

    schema = pa.schema([(name, getattr(pa, kind)()) for name, kind in COLUMNS])
    rows = sorted(rows, key=lambda r: r["name"])
    table = pa.Table.from_pylist([{c: r.get(c) for c, _ in COLUMNS} for r in rows], schema=schema)
    write_parquet(table, os.path.join(dataset, SUMMARY))


def unchanged(row: Row | None, path: str) -> bool:
    return row is not None and row.get("error") is None and (row["bytes"], row["modified_ns"]) == _stat(path)


@contextlib.contextmanager
def _sigint_blocked() -> Iterator[None]:
    """SIGINT held back in this thread, and so in every thread and process
    started from it meanwhile (the mask is inherited through fork and exec);
    one that came meanwhile is delivered as it ends."""
    held = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


@contextlib.contextmanager
def start_client(workers: int, scheduler: str | None) -> Iterator[Any]:
    """A Dask client of the cluster at `scheduler`, or of a new LocalCluster
    of `workers` processes, closed on leaving.

    A terminal's Ctrl-C goes to the whole process group. Workers of the local
    cluster never see it: its event loop thread is started with SIGINT
    blocked, and so are the worker processes it spawns (restarts included).
    Only this process is interrupted, and it closes the cluster in order,
    with the cluster's logs silenced: whatever the closing says is no news.
    """
    import logging
    from multiprocessing import resource_tracker

    from dask.distributed import Client

    if scheduler:
        client = Client(scheduler)
    else:
        # Started here, before SIGINT is blocked: multiprocessing starts its
        # resource tracker on first need, and unblocks SIGINT in the thread
        # that needed it, which would be the cluster's loop thread.
        resource_tracker.ensure_running()
        with _sigint_blocked():
            # A client given no address starts a LocalCluster of its own, and stops it when closed.
            client = Client(
                n_workers=workers,
                threads_per_worker=1,
                processes=True,
                host="127.0.0.1",
                dashboard_address=None,
                # Its HTTP server (health, metrics) runs even without a
                # dashboard: on a free port, not 8787, which another cluster
                # on this machine may hold.
                scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                # The workers' logs are never the command's output: a
                # recording that fails is listed by the command, and a worker
                # still busy as the scheduler closes has nothing to report.
                silence_logs=logging.CRITICAL,
            )
    try:
        yield client
    except KeyboardInterrupt:
        logging.disable(logging.CRITICAL)
        raise
    finally:
        client.close()


def run(
    client: Any, todo: list[tuple[str, str]], dataset: str, show_progress: bool = True, rows: list[Row] | None = None
) -> list[Row]:
    """Converts every (path, name) of `todo` on the client's cluster; their
    rows, appended to `rows` as they finish (so that a run cut short still
    has the rows of what it finished)."""
    from dask.distributed import as_completed

    sizes = {path: _stat(path)[0] or 0 for path, _ in todo}
    futures = client.map(convert, [p for p, _ in todo], [n for _, n in todo], [dataset] * len(todo), pure=False)
    rows = [] if rows is None else rows
    done = 0
    with Progress(sum(sizes.values()), "ahrs-dataset", enabled=show_progress) as bar:
        for future in as_completed(futures):
            row = future.result()
            rows.append(row)
            done += sizes[row["path"]]
            bar.update(done)
    return rows


def _gone(before: Mapping[str, Row], inputs: Iterable[str], paths: Collection[str]) -> list[str]:
    """Paths of earlier rows under a folder named again that the folder no
    longer holds: the dataset follows the folder."""
    folders = [os.path.join(os.path.abspath(f), "") for f in inputs if os.path.isdir(f)]
    found = set(paths)
    return [p for p in before if p not in found and any(p.startswith(f) for f in folders) and not os.path.isfile(p)]


def convert_all(
    client: Any,
    inputs: Iterable[str],
    dataset: str,
    pattern: str = DEFAULT_PATTERN,
    show_progress: bool = True,
    removed: list[str] | None = None,
) -> tuple[list[Row], int]:
    """The whole run on a cluster: the rows of the recordings converted, and
    the count of those skipped as unchanged. Rows of recordings converted
    before and not named this time stay in recordings.parquet, unless they
    were in a folder named this time that no longer holds them: those leave
    the dataset, and their paths go to `removed`."""
    os.makedirs(dataset, exist_ok=True)
    before = read_summary(dataset)
    paths = find_recordings(inputs, pattern, dataset=dataset)
    for path in _gone(before, inputs, paths):
        _remove_partitions(dataset, before.pop(path)["name"])
        if removed is not None:
            removed.append(path)
    names = recording_names(paths, {p: r["name"] for p, r in before.items()})
    todo = [(p, names[p]) for p in paths if not unchanged(before.get(p), p)]
    converted: list[Row] = []
    try:
        if todo:
            run(client, todo, dataset, show_progress, converted)
    finally:
        # Also when the run is cut short (Ctrl-C): what it finished is not
        # converted again next time. A recording cut off halfway keeps its
        # earlier row, which no longer matches the file, so it is converted again.
        fresh = {r["path"] for r in converted}
        write_summary(dataset, [r for p, r in before.items() if p not in fresh] + converted)
    return converted, len(paths) - len(todo)


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="ahrs-dataset",
        description="Turn recordings into one Hive-partitioned Parquet dataset: "
        "DATASET/record=<Record>/recording=<name>/part-0.parquet, and "
        "DATASET/recordings.parquet with a row per recording. Runs on Dask distributed; "
        "a recording converted before, unchanged since, is skipped.",
    )
    add_version(p)
    p.add_argument(
        "inputs",
        nargs="+",
        metavar="RECORDING_OR_FOLDER",
        help="recordings, and folders searched (with their subfolders) for recordings",
    )
    p.add_argument("-o", "--output", required=True, metavar="DATASET", help="the dataset's folder")
    where = p.add_mutually_exclusive_group()
    where.add_argument(
        "--workers",
        type=int,
        default=None,
        metavar="N",
        help="worker processes of a local cluster (default: one per CPU)",
    )
    where.add_argument(
        "--scheduler", metavar="ADDRESS", help="an existing cluster's scheduler, e.g. tcp://10.0.0.5:8786"
    )
    p.add_argument(
        "--glob",
        default=DEFAULT_PATTERN,
        metavar="PATTERN",
        help=f"file names taken from folders (default: {DEFAULT_PATTERN})",
    )
    return p


@command("ahrs-dataset")
def main(argv: list[str] | None = None) -> int:

    p = parser()
    args = p.parse_args(argv)
    if args.workers is not None and args.workers < 1:
        p.error("--workers must be 1 or more")
    try:
        for library in ("numpy", "pyarrow", "distributed"):
            needs(library, "ahrs-dataset", "dataset")
    except ImportError as e:
        print(e, file=sys.stderr)
        return 1
    skipped: list[tuple[str, str]] = []
    if not find_recordings(args.inputs, args.glob, skipped, args.output):
        _list_skipped(skipped)
        print(f"ahrs-dataset: no recordings ({args.glob}) in {', '.join(args.inputs)}", file=sys.stderr)
        return 1
    removed: list[str] = []
    try:
        with start_client(args.workers or os.cpu_count() or 1, args.scheduler) as client:
            converted, unchanged_count = convert_all(client, args.inputs, args.output, args.glob, removed=removed)
    except OSError as e:
        print(f"ahrs-dataset: {e.filename or args.output}: {e.strerror or e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("ahrs-dataset: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    failed = [r for r in converted if r.get("error")]
    for row in failed:
        print(f"ahrs-dataset: {row['path']}: {row['error']}", file=sys.stderr)
    _list_skipped(skipped)
    for path in removed:
        print(f"ahrs-dataset: {path}: gone from its folder, removed from the dataset", file=sys.stderr)
    print(
        f"ahrs-dataset: {len(converted) - len(failed)} converted, {len(failed)} failed, "
        f"{unchanged_count} unchanged; {os.path.join(args.output, SUMMARY)}",
        file=sys.stderr,
    )
    return 1 if failed or skipped else 0


def _list_skipped(skipped: Iterable[tuple[str, str]]) -> None:
    for path, reason in skipped:
        print(f"ahrs-dataset: {path}: skipped, {reason}", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
