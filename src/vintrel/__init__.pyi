"""Reads the acquisition directories of waveform-digitizer boards.

``vintrel.Acquisition(path)`` opens one; ``vintrel.errors`` names the
exception types it raises; ``vintrel.dask`` spreads reading and exporting
over a cluster; ``python -m vintrel`` (the ``vintrel`` command) does the
daily jobs from a shell.

Units: ``data`` in ADC counts (pedestal-subtracted only where asked),
``time`` in sample indices; the timing and ADC-to-mV calibrations are handed
over as decoded, never applied.
"""

import os
from collections.abc import Iterable
from typing import SupportsIndex

from . import errors as errors
from ._columnar import EccErrorArrays as EccErrorArrays, EventArrays as EventArrays
from . import plot as plot
from ._export_report import ExportReport as ExportReport
from ._sample import sample as sample
from ._vintrel import (
    Acquisition as Acquisition,
    PanicException as PanicException,
    ecc_check as ecc_check,
    ecc_correct as ecc_correct,
    export_csv as export_csv,
    global_parity as global_parity,
    is_acquisition as is_acquisition,
    list_acquisitions as list_acquisitions,
    syndrome as syndrome,
    syndrome_to_index as syndrome_to_index,
)

__all__ = [
    "Acquisition",
    "list_acquisitions",
    "is_acquisition",
    "export_csv",
    "syndrome",
    "global_parity",
    "syndrome_to_index",
    "ecc_check",
    "ecc_correct",
]

# Package attributes outside __all__ (imported on first use).
from collections.abc import Iterable, Iterator
from os import PathLike
from typing import SupportsIndex

from ._batches import EventBatch as EventBatch
from ._parquet import ParquetExport as ParquetExport

def iterate(
    paths_or_acquisitions: str | PathLike[str] | Acquisition | Iterable[str | PathLike[str] | Acquisition],
    step_size: int | str = 10000,
    *,
    channels: Iterable[SupportsIndex] | None = None,
    pedestals_correction: bool = False,
) -> Iterator[EventBatch]:
    """Every event of several acquisitions, in batches, one acquisition after another.

    The batches of ``acq.iterate(step_size, ...)`` for each acquisition in
    turn; a batch never holds events of two acquisitions, and its
    ``acquisition`` attribute says which it came from. The next batch is
    read while the caller works on the current one, across acquisitions too.

    Args:
        paths_or_acquisitions: one path or Acquisition, or an iterable of
            them. Paths are opened and every event count is taken when
            called.
        step_size: events per batch, or a size such as ``"100 MB"``, measured
            for each acquisition on its first events (see
            ``Acquisition.iterate``).
        channels: passed to ``arrays()`` when given.
        pedestals_correction: subtract the pedestals, as ``arrays()`` does.

    Returns:
        An iterator of EventBatch.

    Raises:
        FileNotFoundError: a path that is not an acquisition (when called).
        TypeError, ValueError: a step_size that is not one (when called).

    Examples:
        >>> for batch in vintrel.iterate(["/data/run7", "/data/run8"], "1 GB"):
        ...     print(batch.acquisition.name, batch.requested, len(batch))
    """

def export_parquet(
    acq: Acquisition,
    indices: Iterable[SupportsIndex] | slice | None,
    path: str | PathLike[str],
    *,
    pedestals_correction: bool = False,
    channels: Iterable[SupportsIndex] | None = None,
    row_group_events: int = 10000,
    compression: str | None = "zstd",
) -> ParquetExport:
    """Write events to a Parquet file, one row per event.

    The columns are those of ``EventArrays.to_arrow()``: ``index``, then
    ``data``, ``window_labels``, ``time`` and the board's ``timing`` or
    ``ecc_errors``, each a list per channel in a list per event. Events are
    read in runs of ``row_group_events``, one row group each, the next run
    read while the last is written, so memory stays at a few runs' arrays
    whatever the file's size. The file is written under a temporary name
    beside ``path`` and renamed to it when complete: a failure or Ctrl-C
    leaves no file, and an existing file at ``path`` is replaced whole or
    left as it was. Events that cannot be read, parsed or corrected are
    left out and listed in the result. The file's metadata names the
    acquisition and says whether pedestals were subtracted. Needs pyarrow
    (``pip install vintrel[arrow]``).

    Args:
        acq: the acquisition.
        indices: None (every event as of the call), a range, a slice (as
            ``acq[a:b:c]`` takes it) or an iterable of ints, as ``arrays()``
            takes them.
        path: the file to write; its directory must exist.
        pedestals_correction: subtract the pedestals, as ``arrays()`` does.
        channels: passed to ``arrays()`` when given.
        row_group_events: events per row group (and per read), at least 1.
        compression: a Parquet codec pyarrow knows ("zstd", "snappy",
            "gzip", "lz4", "brotli") or None.

    Returns:
        A ParquetExport: the path, the number of events written and
        ``(index, exception)`` for each event left out.

    Raises:
        ImportError: pyarrow is not installed.
        TypeError: acq is not an Acquisition, or an index is not an int.
        ValueError: row_group_events below 1.
        IndexError, OverflowError: indices that arrays() refuses.
        OSError: the file cannot be written.

    Examples:
        >>> vintrel.export_parquet(acq, None, "run7.parquet")
        ParquetExport(path='run7.parquet', events=2500, left_out=[])
    """

__version__: str

def export(
    acq: Acquisition,
    indices: Iterable[SupportsIndex] | slice,
    out_dir: str | os.PathLike[str],
    *,
    pedestals_correction: bool = False,
    overwrite: bool = False,
) -> ExportReport:
    """Exports events to CSV files as export_csv does, and says where each event went.

    The files and their bytes are those of ``export_csv(acq, indices, out_dir,
    pedestals_correction)``: file k, ``"<name> (chunk k).csv"``, holds indices
    ``1000 k`` to ``1000 k + 999`` of the list, less the events that cannot be
    read, parsed or corrected. `indices` may also be a slice (over the events
    there are when called) or a range.

    Unless `overwrite` is true, nothing is written when one of the files exists
    already: FileExistsError names it. `out_dir` must exist.

    Returns an ExportReport: each file with the acquisition indices it holds
    (the row with ``evt_num`` j of ``report.files[k]`` is event
    ``report.files[k].indices[j]``) and each event left out with the reason.
    ``report.to_json()`` gives the same as JSON. Raises what export_csv
    raises; files written before a failure stay.

    Example::

        report = vintrel.export(acq, range(1500, 1510), "out")
        report.files[0].indices[3]  # 1503, unless an event before it was left out
    """
