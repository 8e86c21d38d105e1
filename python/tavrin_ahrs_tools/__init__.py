"""Tools for the sensor: read it live, load a recording into numpy arrays, export it."""
from .ports import PortInfo, list_ports
from .recording import Recording, load, units
from .sensor import Sample, Sensor

__all__ = ["load", "Recording", "units", "list_ports", "PortInfo", "Sensor", "Sample"]
