"""Tools for recordings of the sensor: load one into numpy arrays, export it."""
from .recording import Recording, load, units

__all__ = ["load", "Recording", "units"]
