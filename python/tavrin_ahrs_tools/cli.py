"""What the analysis tools share: loading the recording a user named."""

import importlib
import importlib.metadata
import sys


def load_recording(tool, path, modules=("numpy",), extra="tools"):
    """(numpy, recording), or None after one line on standard error saying
    what to install or why the file cannot be read."""
    try:
        for name in modules:
            importlib.import_module(name)
        import numpy

        from . import load
    except ImportError:
        print(f"{tool} needs {' and '.join(modules)}: pip install 'tavrin_ahrs_driver[{extra}]'",
              file=sys.stderr)
        return None
    try:
        return numpy, load(path, progress=True)
    except OSError as err:
        print(f"{tool}: cannot read {path}: {err.strerror or err}", file=sys.stderr)
        return None


def version():
    """The installed package's version ("unknown" when run from a source tree)."""
    try:
        return importlib.metadata.version("tavrin_ahrs_driver")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


def add_version(parser):
    """Gives a command's parser the --version every command answers."""
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    return parser
