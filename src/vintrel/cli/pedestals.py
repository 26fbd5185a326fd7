"""Pedestal subtraction in Python, the way the CSV export subtracts them:
the same table shapes are accepted from the "pedestals_calibration" side
file, the same events fail, and samples are reduced in 32-bit float
arithmetic, so a plotted sample equals its exported value."""

from __future__ import annotations

from array import array
from typing import Any, Sequence

import vintrel

# The export's limit on the numbers and lists of one pedestal table.
MAX_VALUES = 2**25
INT64 = range(-(2**63), 2**63)

# table[channel][window label] holds the pedestals of the window's samples.
Table = list[list["array[float]"]]


class CorrectionError(Exception):
    """An event the table cannot correct; the export leaves such events out."""


def _number(value: Any) -> bool:
    # Exactly float, or an int that fits 64 bits; bool and the rest are refused.
    return type(value) is float or (type(value) is int and value in INT64)


def table_of(pickled: Any) -> Any:
    """The table inside a decoded side file: a dict's "data" or a sequence's first item."""
    if isinstance(pickled, dict):
        return pickled.get("data")
    if isinstance(pickled, (list, tuple)) and pickled:
        return pickled[0]
    return None


def convert(table: Any) -> Table | None:
    """The table as 32-bit floats, or None for a shape the export refuses."""
    if not isinstance(table, (list, tuple)):
        return None
    budget = MAX_VALUES - len(table)
    out: Table = []
    for channel in table:
        if not isinstance(channel, (list, tuple)):
            return None
        budget -= len(channel)
        windows = []
        for window in channel:
            if not isinstance(window, (list, tuple)) or not all(map(_number, window)):
                return None
            budget -= len(window)
            windows.append(array("f", window))
        if budget < 0:
            return None
        out.append(windows)
    return out


def load(acq: vintrel.Acquisition) -> Table | None:
    """The acquisition's pedestal table, or None when the export would run
    without correction (no file, or one it cannot decode)."""
    try:
        return convert(table_of(acq.pedestals_calibration))
    except Exception:
        return None


def subtract(data: Sequence[Sequence[float]], labels: Sequence[Sequence[int]], channels: int, samples: int,
             table: Table) -> list[list[float]]:
    """The event's samples less their pedestals; CorrectionError for an
    event the export would leave out. Channels from `channels` on, and
    channels without window labels, keep their samples as they are."""
    out = [list(values) for values in data]
    for c in range(channels):
        if c >= len(labels):
            raise CorrectionError(f"the event has no window labels for channel {c}")
        if not labels[c]:
            continue
        if c >= len(data):
            raise CorrectionError(f"the event has no samples for channel {c}")
        if not data[c]:
            continue
        if c >= len(table):
            raise CorrectionError(f"the pedestal table has no channel {c}")
        if samples <= 0:
            raise CorrectionError("samples is 0: no sample can be matched to its window")
        values = array("f", out[c])
        for j in range(len(values)):
            w, s = divmod(j, samples)
            if w >= len(labels[c]):
                raise CorrectionError(f"channel {c} has more samples than its window labels cover")
            label = labels[c][w]
            if label >= len(table[c]) or s >= len(table[c][label]):
                raise CorrectionError(f"the pedestal table has no sample {s} of window {label} for channel {c}")
            # Both values are 32-bit floats; their difference, rounded once
            # to 32 bits, is the float subtraction the export does.
            values[j] = values[j] - table[c][label][s]
        out[c] = values.tolist()
    return out
