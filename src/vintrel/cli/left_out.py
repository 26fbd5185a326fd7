"""Which events an export left out, and why.

The export leaves out, without a word, every event it cannot read, parse
or correct. The files tell how many events each holds; the indices of a
file that came up short are then tried one by one, as the export tries
them, to name the ones it left out."""

from __future__ import annotations

from typing import Sequence

import vintrel

from . import pedestals as ped
from .common import params_of, plural, spans

UNREADABLE = "could not be read"
UNPARSABLE = "could not be parsed"
UNCORRECTABLE = "could not be corrected with the pedestal table"
SPANS_SHOWN = 100


def find(acq: vintrel.Acquisition, files: Sequence[range], pedestals: bool) -> dict[str, list[int]]:
    """The indices of `files` the export could not write, by reason."""
    missing: dict[str, list[int]] = {UNREADABLE: [], UNPARSABLE: [], UNCORRECTABLE: []}
    if not files:
        return missing
    params = params_of(acq)
    table = ped.load(acq) if pedestals else None
    for indices in files:
        for index in indices:
            try:
                event = acq.parsed_event(index)
            except (IndexError, OSError):
                missing[UNREADABLE].append(index)
                continue
            except Exception:
                missing[UNPARSABLE].append(index)
                continue
            if table is None:
                continue
            try:
                ped.subtract(event["data"], event["window_labels"], int(params.get("channels", 0)),
                             int(params.get("samples", 0)), table)
            except ped.CorrectionError:
                missing[UNCORRECTABLE].append(index)
    return missing


def describe(missing: dict[str, list[int]]) -> list[str]:
    lines = []
    for reason, indices in missing.items():
        if not indices:
            continue
        runs = spans(indices)
        shown = ", ".join(runs[:SPANS_SHOWN]) + (f", ... ({len(runs) - SPANS_SHOWN} more)"
                                                   if len(runs) > SPANS_SHOWN else "")
        lines.append(f"left out {plural(len(indices), 'event')} that {reason}: {shown}")
    return lines
