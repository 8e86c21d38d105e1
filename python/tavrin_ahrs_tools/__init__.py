"""Tools for the sensor: read it live, load a recording into numpy arrays, export it."""
from .ports import PortInfo, list_ports
from .recording import Recording, load
from .sensor import Sample, Sensor
from .units import units  # after every submodule: the name is the function, not its module
from .conventions import Conventions, ConventionsError, conventions, parse_conventions  # noqa: E402

__all__ = ["load", "Recording", "units", "list_ports", "PortInfo", "Sensor", "Sample",
           "Conventions", "ConventionsError", "conventions", "parse_conventions"]
