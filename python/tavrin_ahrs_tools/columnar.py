"""Record tables as Arrow tables and Parquet files (needs pyarrow).

Each item's unit goes into its Arrow field's metadata under b"unit", so it
travels with the Parquet files too; the record's name and descriptor set go
into the schema's metadata.
"""

from __future__ import annotations

import contextlib
import functools
import os
from collections.abc import Callable, Collection, Mapping
from concurrent.futures import ThreadPoolExecutor
from types import ModuleType
from typing import TYPE_CHECKING, Any

from . import _native
from .recording import needs

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .recording import Recording
    from .staged_output import StagedOutputs

PARQUET_SUFFIX = ".parquet"
# Packet numbers, offsets and arrivals climb by small steps: deltas store them in a few
# bits. Splitting floats into byte streams lets zstd find the repeating
# exponent bytes; both encode faster than a dictionary that never pays off
# on measured values.
_DELTA = ("packet", "offset", "arrival_ns")
# Row-group statistics (smallest, largest) for the columns a reader picks
# rows by; on every measured column they would cost a tenth of the writing
# and skip nothing.
_INDEXES = ("packet", "offset", "time")


def pyarrow(what: str = "Arrow and Parquet output") -> ModuleType:
    return needs("pyarrow", what, "arrow")


@functools.cache
def record_sets() -> dict[str, str]:
    """Record name -> descriptor-set name."""
    return {name: set_name for name, set_name, *_ in _native.catalogue()}


_declared_overrides: dict[str, Any] = {}


def use_units(overrides: Mapping[str, Any] | None) -> None:
    """Makes every export of this process write the units declared with
    `overrides` (a --units FILE) on top of the default table."""
    _declared_overrides.clear()
    _declared_overrides.update(overrides or {})
    record_units.cache_clear()


@functools.cache
def record_units() -> dict[str, dict[str, str]]:
    """Record name -> {field: unit}: the declared table, with the overrides given to use_units()."""
    from .units import units

    return units(_declared_overrides)


def _arrow_array(pa: ModuleType, values: NDArray[Any]) -> Any:
    """The numpy array as an Arrow array over the same memory; flags, which
    Arrow keeps one bit each, packed. (pa.array() would do the same but
    first imports pandas, when installed, to ask whether this is one of its
    arrays.)"""
    if values.dtype.kind == "b":
        import numpy as np

        data = pa.py_buffer(np.packbits(values, bitorder="little"))
    else:
        data = pa.py_buffer(values)
    return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), len(values), [None, data])


def arrow_table(name: str, columns: dict[str, NDArray[Any]]) -> Any:
    """A pyarrow Table of one record from {field: 1-D numpy array}, sharing
    the arrays' memory wherever Arrow's layout is numpy's (all but bool)."""
    pa = pyarrow()
    units = record_units().get(name, {})
    fields, arrays = [], []
    for field, values in columns.items():
        metadata = {b"unit": units[field].encode()} if field in units else None
        fields.append(pa.field(field, pa.from_numpy_dtype(values.dtype), nullable=False, metadata=metadata))
        arrays.append(_arrow_array(pa, values))
    schema = pa.schema(fields, metadata={b"record": name.encode(), b"set": record_sets()[name].encode()})
    return pa.Table.from_arrays(arrays, schema=schema)


def write_parquet(table: Any, path: str) -> None:
    """Writes one record's table to `path` (zstd), whole or not at all: a
    reader never sees a file half written."""
    pa = pyarrow()
    import pyarrow.parquet as pq

    encodings = {
        f.name: "DELTA_BINARY_PACKED" if f.name in _DELTA else "BYTE_STREAM_SPLIT"
        for f in table.schema
        if f.name in _DELTA or pa.types.is_floating(f.type)
    }
    partial = f"{path}.partial"
    try:
        pq.write_table(
            table,
            partial,
            compression="zstd",
            use_dictionary=False,
            column_encoding=encodings,
            write_statistics=[c for c in _INDEXES if c in table.column_names],
        )
        os.replace(partial, path)
    except BaseException:
        _remove(partial)
        raise


def _remove(path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.remove(path)


def write_records(
    recording: Recording, path_of: Callable[[str], str], names: Collection[str] | None = None, threads: int = 1
) -> list[str]:
    """Writes each record of `recording` (or those in `names`) to
    path_of(record name), on up to `threads` threads (pyarrow writes
    without the interpreter lock); returns the records written."""
    chosen = [name for name in recording.records if not names or name in names]
    with ThreadPoolExecutor(max(1, threads)) as pool:
        for done in [pool.submit(lambda n: write_parquet(recording.to_arrow(n), path_of(n)), name) for name in chosen]:
            done.result()
    return chosen


def export(
    recording: Recording, directory: str, names: Collection[str] | None = None, stage: StagedOutputs | None = None
) -> list[str]:
    """ahrs-dump --format parquet: DIRECTORY/<Record>.parquet, one per
    record. The folder belongs to the export as far as these names go: a
    record's table that this export does not write, an earlier one did, is
    removed; other files stay. Through `stage` (a StagedOutputs) the tables
    are put in place only when the export commits."""
    from .staged_output import StagedOutputs

    pyarrow()
    owned = stage is None
    stage = stage or StagedOutputs()
    with stage if owned else contextlib.nullcontext():
        stage.folder(directory)
        temps = {name: stage.path(os.path.join(directory, name + PARQUET_SUFFIX)) for name in record_sets()}
        return write_records(recording, temps.__getitem__, names, threads=os.cpu_count() or 1)


def require() -> None:
    """ImportError with a one-line hint unless the export can run."""
    pyarrow("--format parquet")
