"""Events to a Parquet file, one row group per batch, written atomically.

The file is written under a temporary name in the target's directory and
renamed over the target only once it is complete: an interrupted or failed
export leaves no file behind, and an existing target is replaced whole or
not at all. Memory is bounded as for iterate(): a few batches of arrays,
plus one row group encoded (every core encodes a share of it: see
_parquet_parallel)."""

from __future__ import annotations

import importlib
import os
import tempfile
from collections.abc import Callable, Iterable, Iterator, Sequence
from pathlib import Path
from typing import Any, NamedTuple, SupportsIndex

import vintrel

from ._arrow import pyarrow
from ._batches import EventBatch, bound, prefetched, read_options, with_pedestals_checked
from ._columnar import EventArrays
from ._cores import pool_size
from ._parquet_parallel import ParallelParquetWriter

__all__ = ["ParquetExport", "export_parquet", "write_batches"]


# How the columns are encoded. Samples rarely repeat once corrected, so
# dictionaries cost time for nothing; splitting the bytes of the float
# samples into streams lets the compressor find their common high bytes
# (smaller and faster than plain floats). Only index has min/max statistics:
# they let a reader skip row groups by event number. The writer levels and
# encodes nested lists in batches of leaf values: larger batches than its
# default 1024 cut the time to write samples by a fifth, pages unchanged.
ENCODING: dict[str, Any] = {
    "use_dictionary": False,
    "write_batch_size": 1 << 18,
    "write_statistics": ["index"],
    "use_byte_stream_split": ["data.list.element.list.element"],
}


class ParquetExport(NamedTuple):
    """What export_parquet wrote."""

    path: str  # the file
    events: int  # the rows written, one per event
    left_out: list[tuple[int, BaseException]]  # (index, exception) of each event asked for and not written


def current_umask() -> int:
    """The process's umask, read without changing it (0o022 where it cannot be read)."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    return 0o022


def index_runs(acq: vintrel.Acquisition, indices: Iterable[SupportsIndex] | slice | None,
               size: int) -> Iterator[Sequence[SupportsIndex]]:
    """The indices asked for, as runs of at most `size`. None and slices are
    taken against the event count now, as arrays() takes them; a range is
    cut into ranges; any other iterable is read into a list first (its
    elements are checked by arrays(), run by run)."""
    if indices is None:
        indices = range(len(acq))
    elif isinstance(indices, slice):
        selected = range(len(acq))[indices]
        if selected.step < 0:
            raise IndexError("index out of bounds")  # as acq[::-1] refuses
        indices = selected
    if isinstance(indices, (str, bytes)):
        acq.arrays(indices)  # refused there, with the message of every other refusal
    asked: Sequence[SupportsIndex] = indices if isinstance(indices, range) else list(indices)
    for at in range(0, len(asked), size):
        yield asked[at:at + size]


def write_batches(batches: Iterable[EventArrays], path: str | os.PathLike[str], *, compression: str | None,
                  metadata: dict[str, str], on_batch: Callable[[EventArrays], None] | None = None) -> ParquetExport:
    """Writes each batch as a row group of a new file at `path` (see the
    module docstring); `on_batch` is called after each is written."""
    pq = pyarrow_parquet()
    target = Path(path)
    handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".part", dir=target.parent)
    try:
        with os.fdopen(handle, "wb") as out:
            events = 0
            left_out: list[tuple[int, BaseException]] = []
            writer: ParallelParquetWriter | None = None
            try:
                for batch in batches:
                    table = batch.to_arrow()
                    if writer is None:
                        schema = table.schema.with_metadata({**(table.schema.metadata or {}), **metadata})
                        writer = ParallelParquetWriter(out, schema, piece_writer(pq, compression), pool_size())
                    writer.write_table(table.replace_schema_metadata(writer.schema.metadata))
                    events += len(batch)
                    left_out += batch.errors
                    del table
                    if on_batch is not None:
                        on_batch(batch)
                if writer is None:
                    raise ValueError("nothing to write: no batch of events")  # the caller always has one
                writer.close()
            finally:
                # A read under way ends before the file is finished or removed.
                close = getattr(batches, "close", None)
                if close is not None:
                    close()
                if writer is not None:
                    writer.abandon()
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temporary, 0o666 & ~current_umask())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    return ParquetExport(str(target), events, left_out)


def piece_writer(pq: Any, compression: str | None) -> Callable[[Any], Any]:
    """Writes a table as a Parquet file of one row group in memory, encoded as above."""
    pa = pyarrow("export_parquet()")

    def write(table: Any) -> Any:
        sink = pa.BufferOutputStream()
        pq.write_table(table, sink, compression=compression, row_group_size=max(len(table), 1), **ENCODING)
        return sink.getvalue()

    return write


def pyarrow_parquet() -> Any:
    """pyarrow.parquet, or ImportError naming the extra."""
    pyarrow("export_parquet()")
    return importlib.import_module("pyarrow.parquet")


def export_parquet(acq: vintrel.Acquisition, indices: Iterable[SupportsIndex] | slice | None,
                   path: str | os.PathLike[str], *, pedestals_correction: bool = False,
                   channels: Iterable[int] | None = None, row_group_events: int = 10_000,
                   compression: str | None = "zstd") -> ParquetExport:
    """vintrel.export_parquet(): see the stub's docstring."""
    return export_batches(acq, indices, path, pedestals_correction=pedestals_correction, channels=channels,
                          row_group_events=row_group_events, compression=compression)


def export_batches(acq: vintrel.Acquisition, indices: Iterable[SupportsIndex] | slice | None,
                   path: str | os.PathLike[str], *, pedestals_correction: bool, channels: Iterable[int] | None,
                   row_group_events: int, compression: str | None,
                   on_batch: Callable[[EventBatch], None] | None = None) -> ParquetExport:
    """export_parquet, calling `on_batch` with each batch once written (the command line's progress)."""
    if not isinstance(acq, vintrel.Acquisition):
        raise TypeError(f"acq must be an Acquisition, not {type(acq).__name__}")
    if isinstance(row_group_events, bool) or bound(row_group_events, "row_group_events") < 1:
        raise ValueError(f"row_group_events must be a positive number of events, not {row_group_events!r}")
    pyarrow_parquet()  # before any event is read
    options = read_options(channels, pedestals_correction)
    runs = list(index_runs(acq, indices, row_group_events)) or [range(0)]
    metadata = {"vintrel.acquisition": acq.name, "vintrel.acquisition_path": acq.path}

    def batch_written(batch: EventArrays) -> None:
        if on_batch is not None:
            assert isinstance(batch, EventBatch)
            on_batch(batch)

    options = with_pedestals_checked(acq, options)
    return write_batches(prefetched((acq, run, options) for run in runs), path, compression=compression,
                         metadata=metadata, on_batch=batch_written)
