"""ahrs-dump: export a recording as text, JSON Lines, CSV, Parquet or MCAP.

Text, JSON Lines and CSV run natively in one streaming pass (CSV makes a
second one only when a later packet holds records the first packet of its set
did not: the header names every record present); Parquet and MCAP go through
their libraries from the recording's columns. Damaged packets are skipped and
counted, never fatal; one summary line ends on standard error.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys

from . import _native
from .cli import StandardOutputError, add_version, command, refuse_output_over_input
from .conventions import Conventions, ConventionsError, parse_conventions
from .progress import Progress
from .staged_output import StagedOutputs
from .units import add_units_option, declare_units

# Formats written in Python by a library, and the module of each.
LIBRARY_FORMATS = {"parquet": "columnar", "mcap": "mcap_export", "rosbag2": "ros2_export"}
PROFILES = ("ros2", "raw")
FORMATS = ("text", "jsonl", "csv", *LIBRARY_FORMATS)
# The name the native writer gives standard output in its errors.
NATIVE_STDOUT = "<stdout>"


def _record_names(text: str) -> list[str]:
    known = {name for name, *_ in _native.catalogue()}
    names = [n.strip() for n in text.split(",") if n.strip()]
    unknown = [n for n in names if n not in known]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown record {', '.join(unknown) or repr(text)} (known: {', '.join(sorted(known))})"
        )
    return names


def _conventions(text: str) -> Conventions:
    try:
        return parse_conventions(text)
    except ConventionsError as err:
        raise argparse.ArgumentTypeError(str(err)) from None


def _csv_suffixes() -> list[str]:
    """.<set>.csv of the table of each data set."""
    return [f".{name}.csv" for name in sorted({set_name for _name, set_name, *_ in _native.catalogue()})]


def _outputs(args: argparse.Namespace) -> list[str | int]:
    """Every file the export may write: the tables of each data set, the
    output file, or the standard output it inherited."""
    if args.format == "csv":
        return [args.output + suffix for suffix in _csv_suffixes()]
    return [args.output or 1]


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="ahrs-dump",
        description="Export a recorded sensor stream. text: the line per packet that "
        "parse_data_stream_py prints; jsonl: one JSON object per packet; csv: "
        "one table per data set, OUT.DataSensor.csv and OUT.DataEstimationFilter.csv; "
        "parquet: one file per record in the directory OUT; mcap: ROS 2 messages on /imu/* and /tf "
        "(--profile raw: one JSON channel per record); rosbag2: the ROS 2 messages as a bag "
        "folder OUT.",
    )
    add_version(p)
    p.add_argument("file", help="the recording")
    p.add_argument("--format", choices=FORMATS, default="text", help="output format (default: text)")
    p.add_argument(
        "--records",
        metavar="NAME,...",
        type=_record_names,
        help="only these records (e.g. ScaledAccVector,OrientationEuler)",
    )
    p.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="output file (text, jsonl; default: standard output; mcap: required), "
        "prefix (csv; required) or directory (parquet, rosbag2; required)",
    )
    p.add_argument(
        "--profile",
        choices=PROFILES,
        default="ros2",
        help="mcap: ROS 2 messages (default) or one JSON channel per record (raw)",
    )
    p.add_argument(
        "--frame-id", metavar="NAME", help="ROS 2 frame of the sensor (default: imu_link_ned, or imu_link with --enu)"
    )
    p.add_argument(
        "--enu",
        action="store_true",
        help="ROS 2: turn north-east-down data into east-north-up, forward-left-up "
        "(east-north-up data are written as they are)",
    )
    p.add_argument(
        "--conventions",
        metavar="C,...",
        type=_conventions,
        help="ROS 2: the attitude conventions, where the data cannot settle them "
        "(e.g. xyzw,ned: the quaternion's scalar last, a north-east-down world)",
    )
    add_units_option(p, "parquet, mcap: the units written with the values")
    return p


@command("ahrs-dump")
def main(argv: list[str] | None = None) -> int:
    p = parser()
    args = p.parse_args(argv)
    if not args.file:
        p.error("the recording's path must not be empty")
    if args.format == "csv" and not args.output:
        p.error("--format csv writes one file per data set: give -o OUT")
    if args.format in LIBRARY_FORMATS and not args.output:
        p.error(f"--format {args.format} writes files: give -o OUT")
    refuse_output_over_input(p, args.file, _outputs(args))
    if args.units is not None and not declare_units("ahrs-dump", args.units):
        return 1
    try:
        size = os.path.getsize(args.file)
    except OSError:
        size = 0
    # A bar would tear through text going to the same terminal.
    show = bool(args.output) or not sys.stdout.isatty()
    stage = StagedOutputs()
    try:
        with stage:
            replaced = 0
            if args.format in LIBRARY_FORMATS:
                packets, runs, skipped, truncated, replaced = _library_export(args, stage)
            else:
                with Progress(size, os.path.basename(args.file), enabled=show) as bar:
                    packets, runs, skipped, truncated = _native.dump(
                        args.file, args.format, ",".join(args.records or []), _native_output(args, stage), bar.update
                    )
            if not packets:
                stage.discard()  # nothing to show for it: an earlier output is worth more
    except ImportError as e:
        print(f"ahrs-dump: {e}", file=sys.stderr)
        return 1
    except ValueError as e:  # a unit the table does not convert, say
        print(f"ahrs-dump: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        raise  # the reader (head, less) has seen enough: quiet, as every command is
    except OSError as e:
        if not args.output and e.filename == NATIVE_STDOUT:
            raise StandardOutputError(e.errno, e.strerror) from None  # said as every command says it
        print(f"ahrs-dump: {_failed_file(e, args, stage)}: {e.strerror or e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("ahrs-dump: interrupted", file=sys.stderr)
        return 130
    print(
        f"ahrs-dump: {packets} packets, {runs} damaged runs, {skipped} bytes skipped"
        f"{', file ends inside a packet' if truncated else ''}",
        file=sys.stderr,
    )
    if replaced:
        print(
            f"ahrs-dump: {replaced} packets had no usable time (not finite, or outside 1970..2038) "
            f"and took a neighbour's",
            file=sys.stderr,
        )
    if not packets:
        print(f"ahrs-dump: {args.file}: no well-formed packet", file=sys.stderr)
        return 1
    return 0


def _native_output(args: argparse.Namespace, stage: StagedOutputs) -> str:
    """Where the native writer writes: a temporary file (text, jsonl) or
    prefix (csv) beside the output, or "" for standard output."""
    if not args.output:
        return ""
    if args.format == "csv":
        return stage.prefix(args.output, _csv_suffixes())
    return stage.path(args.output)


def _failed_file(error: OSError, args: argparse.Namespace, stage: StagedOutputs) -> str:
    """The file a write failed on, by the name the user gave (a library
    writing to an open file does not say which)."""
    if error.filename is None:
        return args.output or "standard output"
    name = os.fsdecode(error.filename)
    return stage.final_of(name) or name or "standard output"


def _ros2(args: argparse.Namespace) -> bool:
    return args.format == "rosbag2" or (args.format == "mcap" and args.profile == "ros2")


def _library_export(args: argparse.Namespace, stage: StagedOutputs) -> tuple[int, int, int, bool, int]:
    """Parquet, MCAP or rosbag2: the recording loaded column by column, then
    written by its module; the last value is how many packets took a
    neighbour's time."""
    name = "ros2_export" if _ros2(args) else LIBRARY_FORMATS[args.format]
    module = importlib.import_module(f".{name}", __package__)
    if hasattr(module, "require"):
        module.require()
    from .recording import load

    rec = load(args.file, progress=True, layout="columns")
    replaced = 0
    if not rec.packets:
        pass  # nothing to write, nor conventions to settle: the caller says so and keeps any earlier output
    elif _ros2(args):
        options = {"frame_id": args.frame_id, "enu": args.enu, "conventions": args.conventions}
        if args.format == "rosbag2":
            replaced = module.write_bag(rec, args.output, stage, **options)
        else:
            replaced = module.write(rec, stage.path(args.output), **options)[2]
    elif args.format == "parquet":
        module.export(rec, args.output, args.records, stage)
    else:
        replaced = module.export(rec, stage.path(args.output), args.records)
    return rec.packets, len(rec.damaged), rec.skipped_bytes, rec.truncated, replaced


if __name__ == "__main__":
    sys.exit(main())
