"""ahrs-dump: export a recording as text, JSON Lines, CSV, Parquet or MCAP.

Text, JSON Lines and CSV run natively in one streaming pass (CSV makes a
second one only when a later packet holds records the first packet of its set
did not: the header names every record present); Parquet and MCAP go through
their libraries from the recording's columns. Damaged packets are skipped and
counted, never fatal; one summary line ends on standard error.
"""
import argparse
import importlib
import os
import sys

from . import _native
from .progress import Progress
from .cli import StandardOutputError, add_version, command, refuse_output_over_input
from .staged_output import StagedOutputs
from .units import declare_units

# Formats written in Python by a library, and the module of each.
LIBRARY_FORMATS = {"parquet": "columnar", "mcap": "mcap_export"}
FORMATS = ("text", "jsonl", "csv", *LIBRARY_FORMATS)
# The name the native writer gives standard output in its errors.
NATIVE_STDOUT = "<stdout>"


def _record_names(text):
    known = {name for name, *_ in _native.catalogue()}
    names = [n.strip() for n in text.split(",") if n.strip()]
    unknown = [n for n in names if n not in known]
    if unknown or not names:
        raise argparse.ArgumentTypeError(f"unknown record {', '.join(unknown) or repr(text)} "
                                         f"(known: {', '.join(sorted(known))})")
    return names


def _csv_suffixes():
    """.<set>.csv of the table of each data set."""
    return [f".{name}.csv" for name in sorted({set_name for _name, set_name, *_ in _native.catalogue()})]


def _outputs(args):
    """Every file the export may write: the tables of each data set, the
    output file, or the standard output it inherited."""
    if args.format == "csv":
        return [args.output + suffix for suffix in _csv_suffixes()]
    return [args.output or 1]


def parser():
    p = argparse.ArgumentParser(
        prog="ahrs-dump",
        description="Export a recorded sensor stream. text: the line per packet that "
                    "parse_data_stream_py prints; jsonl: one JSON object per packet; csv: "
                    "one table per data set, OUT.DataSensor.csv and OUT.DataEstimationFilter.csv; "
                    "parquet: one file per record in the directory OUT; mcap: one channel per record.")
    add_version(p)
    p.add_argument("file", help="the recording")
    p.add_argument("--format", choices=FORMATS, default="text", help="output format (default: text)")
    p.add_argument("--records", metavar="NAME,...", type=_record_names,
                   help="only these records (e.g. ScaledAccVector,OrientationEuler)")
    p.add_argument("-o", "--output", metavar="OUT",
                   help="output file (text, jsonl; default: standard output; mcap: required), "
                        "prefix (csv; required) or directory (parquet; required)")
    p.add_argument("--units", metavar="FILE",
                   help="TOML or JSON table (record -> item -> unit) of the units your sensor "
                        "sends, where they differ from the default (parquet, mcap: the units "
                        "written with the values)")
    return p


@command("ahrs-dump")
def main(argv=None):
    p = parser()
    args = p.parse_args(argv)
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
            if args.format in LIBRARY_FORMATS:
                packets, runs, skipped, truncated = _library_export(args, stage)
            else:
                with Progress(size, os.path.basename(args.file), enabled=show) as bar:
                    packets, runs, skipped, truncated = _native.dump(
                        args.file, args.format, ",".join(args.records or []), _native_output(args, stage),
                        bar.update)
            if not packets:
                stage.discard()  # nothing to show for it: an earlier output is worth more
    except ImportError as e:
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
    print(f"ahrs-dump: {packets} packets, {runs} damaged runs, {skipped} bytes skipped"
          f"{', file ends inside a packet' if truncated else ''}", file=sys.stderr)
    if not packets:
        print(f"ahrs-dump: {args.file}: no well-formed packet", file=sys.stderr)
        return 1
    return 0


def _native_output(args, stage):
    """Where the native writer writes: a temporary file (text, jsonl) or
    prefix (csv) beside the output, or "" for standard output."""
    if not args.output:
        return ""
    if args.format == "csv":
        return stage.prefix(args.output, _csv_suffixes())
    return stage.path(args.output)


def _failed_file(error, args, stage):
    """The file a write failed on, by the name the user gave (a library
    writing to an open file does not say which)."""
    if error.filename is None:
        return args.output or "standard output"
    name = os.fsdecode(error.filename)
    return stage.final_of(name) or name or "standard output"


def _library_export(args, stage):
    """Parquet or MCAP: the recording loaded column by column, then written by its module."""
    module = importlib.import_module(f".{LIBRARY_FORMATS[args.format]}", __package__)
    module.require()
    from .recording import load

    rec = load(args.file, progress=True, layout="columns")
    if args.format == "parquet":
        module.export(rec, args.output, args.records, stage)
    else:
        module.export(rec, stage.path(args.output), args.records)
    return rec.packets, len(rec.damaged), rec.skipped_bytes, rec.truncated


if __name__ == "__main__":
    sys.exit(main())
