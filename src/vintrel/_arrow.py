"""EventArrays as Arrow tables, and through them as pandas and polars frames.

The flat arrays already have Arrow's list layout, so a table is built over
their memory: each list column is a list (per event) of lists (per channel)
whose offsets are the int64 arrays of EventArrays, which is Arrow's
large_list. pyarrow keeps the numpy arrays alive for as long as any Arrow
object uses their buffers."""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

import numpy as np

from ._columnar import EccErrorArrays

if TYPE_CHECKING:
    from ._columnar import EventArrays

ARROW_EXTRA = "pip install vintrel[arrow]"


def pyarrow(caller: str) -> Any:
    """The pyarrow module, or ImportError saying that `caller` needs it and how to install it."""
    try:
        # Imported by name: pyarrow is optional, and its type information is partial.
        return importlib.import_module("pyarrow")
    except ImportError as exc:
        raise ImportError(f"{caller} needs pyarrow: {ARROW_EXTRA}") from exc


def _primitive(pa: Any, values: np.ndarray[Any, Any]) -> Any:
    """An Arrow array over a contiguous numpy array (no copy)."""
    values = np.ascontiguousarray(values)
    return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), len(values), [None, pa.py_buffer(values)])


def _lists(pa: Any, offsets: np.ndarray[Any, Any], child: Any) -> Any:
    """large_list<child> with the given int64 offsets (no copy)."""
    offsets = np.ascontiguousarray(offsets, dtype=np.int64)
    return pa.Array.from_buffers(pa.large_list(child.type), len(offsets) - 1, [None, pa.py_buffer(offsets)],
                                 children=[child])


def _leaf(pa: Any, values: Any) -> Any:
    """The Arrow array of a field's values: a primitive array, or structs of ECC error records."""
    if isinstance(values, EccErrorArrays):
        return pa.StructArray.from_arrays([_primitive(pa, field) for field in values], names=list(values._fields))
    return _primitive(pa, values)


def table_of(arrays: EventArrays) -> Any:
    """EventArrays.to_arrow(): see its docstring."""
    pa = pyarrow("EventArrays.to_arrow()")
    names = ["index"]
    columns = [_primitive(pa, arrays.index.astype(np.int64, copy=False))]
    for name, (values, offsets) in arrays._lists().items():
        per_channel = _lists(pa, offsets, _leaf(pa, values))
        names.append(name)
        columns.append(_lists(pa, arrays.channel_offsets, per_channel))
    for column in columns:
        # Full validation reads only offsets (every one within its values);
        # EventArrays can be built by hand, and a bad offset must not reach
        # code that trusts it.
        column.validate(full=True)
        if len(column) != len(arrays):
            raise ValueError(f"EventArrays has {len(arrays)} events but channel_offsets for {len(column)}")
    metadata = {"vintrel.pedestals_corrected": "true" if arrays.pedestals_corrected else "false"}
    return pa.Table.from_arrays(columns, names=names, metadata=metadata)


def pandas_of(arrays: EventArrays) -> Any:
    """EventArrays.to_pandas(): see its docstring."""
    table = table_of(arrays)
    try:
        pd = importlib.import_module("pandas")
    except ImportError as exc:
        raise ImportError("EventArrays.to_pandas() needs pandas: pip install pandas") from exc
    return table.to_pandas(types_mapper=pd.ArrowDtype)


def polars_of(arrays: EventArrays) -> Any:
    """EventArrays.to_polars(): see its docstring."""
    table = table_of(arrays)
    try:
        pl = importlib.import_module("polars")
    except ImportError as exc:
        raise ImportError("EventArrays.to_polars() needs polars: pip install polars") from exc
    return pl.from_arrow(table, rechunk=False)
