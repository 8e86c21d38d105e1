"""Tools for recordings of the sensor: load one into numpy arrays, export it."""
from .recording import Recording, load

__all__ = ["load", "Recording"]
