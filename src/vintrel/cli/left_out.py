"""Which events an export left out, and why.

The export leaves out, without a word, every event it cannot read, parse
or correct. The files tell how many events each holds; the indices of a
file that came up short are then read again with Acquisition.arrays(),
which leaves out the same events and says why."""

from __future__ import annotations

import warnings
from typing import Sequence

import vintrel

from . import pedestals as ped
from .common import plural, spans

UNREADABLE = "could not be read"
UNPARSABLE = "could not be parsed"
UNCORRECTABLE = "could not be corrected with the pedestal table"
SPANS_SHOWN = 100


def find(acq: vintrel.Acquisition, files: Sequence[range], pedestals: bool) -> dict[str, list[int]]:
    """The indices of `files` the export could not write, by reason."""
    missing: dict[str, list[int]] = {UNREADABLE: [], UNPARSABLE: [], UNCORRECTABLE: []}
    for indices in files:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # an unusable pedestal file: said before the export
            errors = acq.arrays(indices, pedestals_correction=pedestals).errors
        for index, error in errors:
            missing[reason_of(error)].append(index)
    return missing


def reason_of(error: BaseException) -> str:
    """Why an event was left out: unreadable, unparsable or uncorrectable."""
    if ped.is_correction_failure(error):
        return UNCORRECTABLE
    if isinstance(error, (IndexError, OSError)):
        return UNREADABLE
    return UNPARSABLE


def describe(missing: dict[str, list[int]]) -> list[str]:
    """Lines naming the events left out, by reason, as runs of indices."""
    lines = []
    for reason, indices in missing.items():
        if not indices:
            continue
        runs = spans(indices)
        shown = ", ".join(runs[:SPANS_SHOWN]) + (f", ... ({len(runs) - SPANS_SHOWN} more)"
                                                   if len(runs) > SPANS_SHOWN else "")
        lines.append(f"left out {plural(len(indices), 'event')} that {reason}: {shown}")
    return lines
