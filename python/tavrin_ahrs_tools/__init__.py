"""Tools for the sensor: read it live, load a recording into numpy arrays, export it."""

from importlib.metadata import PackageNotFoundError as _NotFound
from importlib.metadata import version as _version

try:
    __version__ = _version("tavrin_ahrs_driver")
except _NotFound:  # run from a source tree, not installed
    __version__ = "unknown"

from .conventions import Conventions, ConventionsError, conventions, parse_conventions
from .ports import PortInfo, list_ports
from .recording import Recording, load
from .sensor import Sample, Sensor
from .units import units  # after every submodule: the name is the function, not its module

__all__ = [
    "__version__",
    "load",
    "Recording",
    "units",
    "list_ports",
    "PortInfo",
    "Sensor",
    "Sample",
    "Conventions",
    "ConventionsError",
    "conventions",
    "parse_conventions",
]
