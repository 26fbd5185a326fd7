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
