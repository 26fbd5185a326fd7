"""Pedestal subtraction for the command line, through Acquisition.arrays():
the correction of the CSV export (same table, same events refused, 32-bit
float arithmetic), so a plotted sample equals its exported value."""

from __future__ import annotations

import warnings

import vintrel

# The export's own warnings about a pedestal file it could not use or did
# not find; the command line says it once, before the export starts.
REFUSED_WARNING = r"pedestal file .* was not used|export_csv\(\): no pedestals_calibration file"


def unusable(acq: vintrel.Acquisition) -> str | None:
    """Why the export would run without correction, or None when the
    pedestal table can be used."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", RuntimeWarning)
        corrected = acq.arrays([], pedestals_correction=True).pedestals_corrected
    if corrected:
        return None
    reasons = [str(w.message).split("not corrected: ", 1)[-1] for w in caught if "was not used" in str(w.message)]
    return "no usable pedestals_calibration side file" + (f" ({reasons[0]})" if reasons else "")


def corrected_samples(acq: vintrel.Acquisition, index: int) -> list[list[float]]:
    """The event's samples per channel less their pedestals; ValueError for an
    event that the table cannot correct. Call only when `unusable` is None."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        arrays = acq.arrays([index], pedestals_correction=True)
    if arrays.errors:
        raise arrays.errors[0][1]
    data, offsets = arrays.data, arrays.data_offsets
    return [data[offsets[j]:offsets[j + 1]].tolist() for j in range(int(arrays.channel_offsets[1]))]
