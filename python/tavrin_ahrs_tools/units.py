"""The units of the recorded values, declared, and their conversion to SI.

The wire format carries no units, so nothing here is read from the data: the
default table is the project's declaration (kept with the decoder's
catalogue, so the native code and Python never disagree), and a sensor that
sends otherwise is described once by overrides, in Python or in a file given
to the commands with --units FILE.
"""

from __future__ import annotations

import argparse
import json
import os
from collections.abc import Callable, Mapping
from types import ModuleType
from typing import Any

from . import _native

STANDARD_GRAVITY = 9.80665  # m/s^2
GAUSS_IN_TESLA = 1e-4
MBAR_IN_PASCAL = 100.0


def _unchanged(values: Any) -> Any:
    return values


def _times(factor: float) -> Callable[[Any], Any]:
    def convert(values: Any) -> Any:
        return values * factor

    return convert


def _degrees_to_radians(values: Any) -> Any:
    return values * (3.141592653589793 / 180.0)


# unit -> (SI unit, its conversion): one function per unit. Values without a
# unit, or whose unit the data leave open, pass unchanged.
CONVERSIONS: dict[str, tuple[str, Callable[[Any], Any]]] = {
    "": ("", _unchanged),
    "unknown": ("unknown", _unchanged),
    "s": ("s", _unchanged),
    "ms": ("s", _times(1e-3)),
    "week": ("week", _unchanged),
    "m": ("m", _unchanged),
    "ft": ("m", _times(0.3048)),
    "rad": ("rad", _unchanged),
    "deg": ("rad", _degrees_to_radians),
    "rad/s": ("rad/s", _unchanged),
    "deg/s": ("rad/s", _degrees_to_radians),
    "m/s": ("m/s", _unchanged),
    "g*s": ("m/s", _times(STANDARD_GRAVITY)),
    "m/s^2": ("m/s^2", _unchanged),
    "g": ("m/s^2", _times(STANDARD_GRAVITY)),
    "gauss": ("T", _times(GAUSS_IN_TESLA)),
    "mgauss": ("T", _times(GAUSS_IN_TESLA * 1e-3)),
    "uT": ("T", _times(1e-6)),
    "T": ("T", _unchanged),
    "mbar": ("Pa", _times(MBAR_IN_PASCAL)),
    "hPa": ("Pa", _times(MBAR_IN_PASCAL)),
    "kPa": ("Pa", _times(1000.0)),
    "Pa": ("Pa", _unchanged),
}


class UnitsError(ValueError):
    """An override that names no record, no item or no known unit."""


def default_units() -> dict[str, dict[str, str]]:
    """The declared default: {record: {column: unit}}, `time` in "s"."""
    return {
        name: {"time": "s", **{item: unit for item, _code, unit in items}}
        for name, _set, items, *_ in _native.catalogue()
    }


def units(overrides: Mapping[str, Any] | None = None) -> dict[str, dict[str, str]]:
    """The unit of every column, by record: {record: {column: unit}}.

    The project's documented default (scaled accelerometer outputs in "g",
    delta-velocity in "g*s", the filter's accelerations and gravity in
    "m/s^2", ...), with `overrides` ({record: {item: unit}}, as
    load_units_file() reads them) laid on top. Raises UnitsError for a record
    or item that does not exist or a unit with no conversion.
    """
    table = default_units()
    for record, items in (overrides or {}).items():
        if record not in table:
            raise UnitsError(f"unknown record {record!r} in the units")
        if not isinstance(items, dict):
            raise UnitsError(f"{record}: expected item = unit pairs, not {items!r}")
        for item, unit in items.items():
            if item not in table[record]:
                raise UnitsError(f"{record} has no item {item!r} (it has {', '.join(table[record])})")
            if unit not in CONVERSIONS:
                raise UnitsError(
                    f"{record}.{item}: unknown unit {unit!r} (known: {', '.join(u for u in CONVERSIONS if u)})"
                )
            table[record][item] = unit
    return table


def load_units_file(path: str | os.PathLike[str]) -> dict[str, Any]:
    """The overrides in a TOML or JSON file: record -> item -> unit.

    TOML unless the name ends in .json. Raises OSError when the file cannot
    be read and UnitsError when it is not a valid table of known units.
    """
    with open(path, "rb") as f:
        data = f.read()
    name = os.fsdecode(path)
    try:
        overrides = json.loads(data) if name.endswith(".json") else _toml().loads(data.decode())
    except (ValueError, UnicodeDecodeError) as err:
        raise UnitsError(f"{name}: not valid {'JSON' if name.endswith('.json') else 'TOML'}: {err}") from None
    if not isinstance(overrides, dict):
        raise UnitsError(f"{name}: expected a table of records")
    units(overrides)  # every name and unit checked now, not at the first conversion
    return overrides


def _toml() -> ModuleType:
    try:
        import tomllib  # type: ignore[import-not-found, unused-ignore]  # Python 3.11+ only; checked as 3.10
    except ImportError:
        try:
            import tomli as tomllib  # type: ignore[import-not-found, unused-ignore]  # optional, only on 3.10
        except ImportError:
            raise ImportError(
                "a TOML units file needs tomli on Python 3.10: pip install 'tavrin_ahrs_driver[tools]'"
            ) from None
    return tomllib


def to_si(values: Any, unit: str) -> tuple[Any, str]:
    """(values in SI, the SI unit): `values` (a number or a numpy array)
    converted from `unit`. Raises UnitsError for a unit with no conversion."""
    try:
        si_unit, convert = CONVERSIONS[unit]
    except KeyError:
        raise UnitsError(f"unknown unit {unit!r}") from None
    return convert(values), si_unit


def column_to_si(
    table: Any,
    record: str,
    item: str,
    overrides: Mapping[str, Any] | None = None,
    declared: Mapping[str, Mapping[str, str]] | None = None,
) -> tuple[Any, str]:
    """One column of a record's table in SI, by the declared table (or
    `declared`, a units() result, when the caller already has it)."""
    declared = declared or units(overrides)
    return to_si(table[item], declared[record][item])


def add_units_option(parser: argparse.ArgumentParser, effect: str) -> None:
    """A command's --units FILE, whose help ends with what the table changes."""
    parser.add_argument(
        "--units",
        metavar="FILE",
        help="TOML or JSON table (record -> item -> unit) of the units your sensor "
        f"sends, where they differ from the default; {effect}",
    )


def declare_units(tool: str, path: str | os.PathLike[str]) -> bool:
    """A command's --units FILE: the overrides made the units its exports
    write. False after one line on standard error when the file is unusable."""
    import sys

    from .columnar import use_units

    try:
        use_units(load_units_file(path))
    except OSError as err:
        print(f"{tool}: cannot read {os.fsdecode(path)}: {err.strerror or err}", file=sys.stderr)
        return False
    except (UnitsError, ImportError) as err:
        print(f"{tool}: {err}", file=sys.stderr)
        return False
    return True
