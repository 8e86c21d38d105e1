"""Tools for recordings of the sensor: load one into numpy arrays, export it."""
from .ports import PortInfo, list_ports
from .recording import Recording, load

__all__ = ["load", "Recording", "list_ports", "PortInfo"]
