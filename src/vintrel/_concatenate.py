"""EventArrays one after another: values appended, offsets renumbered."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._columnar import EccErrorArrays, EventArrays


def joined_offsets(offsets: Sequence[NDArray[np.int64]]) -> NDArray[np.int64]:
    """Offsets of lists appended one after another: each part's offsets
    shifted by the values before it, the shared boundaries kept once."""
    pieces: list[NDArray[np.int64]] = [np.zeros(1, dtype=np.int64)]
    end = 0
    for part in offsets:
        pieces.append(part[1:] - part[0] + end)
        end += int(part[-1] - part[0])
    return np.concatenate(pieces)


def joined_values(values: Sequence[Any], offsets: Sequence[NDArray[np.int64]]) -> Any:
    """The values each part's offsets span, appended (EccErrorArrays field by field)."""
    spans = [(int(o[0]), int(o[-1])) for o in offsets]
    if isinstance(values[0], EccErrorArrays):
        return EccErrorArrays._make(np.concatenate([getattr(v, name)[a:b] for v, (a, b) in zip(values, spans)])
                                    for name in EccErrorArrays._fields)
    return np.concatenate([v[a:b] for v, (a, b) in zip(values, spans)])


def concatenate(parts: list[EventArrays]) -> EventArrays:
    """EventArrays.concatenate(): see its docstring."""
    if not parts:
        raise ValueError("nothing to concatenate: no EventArrays given")
    fields = [list(part._lists()) for part in parts]
    if any(f != fields[0] for f in fields):
        raise ValueError(f"EventArrays of different boards cannot be concatenated: fields {fields[0]} and "
                         f"{next(f for f in fields if f != fields[0])}")
    corrected = {part.pedestals_corrected for part in parts}
    if len(corrected) > 1:
        raise ValueError("EventArrays with and without pedestal correction cannot be concatenated")
    lists: dict[str, Any] = {}
    for name in fields[0]:
        values = [part._lists()[name][0] for part in parts]
        # Each part's lists of this field, from its first event's first channel to its last event's last.
        offsets = [part._lists()[name][1][int(part.channel_offsets[0]):int(part.channel_offsets[-1]) + 1]
                   for part in parts]
        lists[name] = (joined_values(values, offsets), joined_offsets(offsets))
    data, data_offsets = lists.pop("data")
    time, time_offsets = lists.pop("time")
    window_labels, window_label_offsets = lists.pop("window_labels")
    timing, timing_offsets = lists.pop("timing", (None, None))
    ecc_errors, ecc_error_offsets = lists.pop("ecc_errors", (None, None))
    channel_offsets = [part.channel_offsets for part in parts]
    return EventArrays(
        index=np.concatenate([part.index for part in parts]),
        errors=[error for part in parts for error in part.errors],
        channel_offsets=joined_offsets(channel_offsets),
        data=data, data_offsets=data_offsets, time=time, time_offsets=time_offsets,
        window_labels=window_labels, window_label_offsets=window_label_offsets,
        timing=timing, timing_offsets=timing_offsets, ecc_errors=ecc_errors, ecc_error_offsets=ecc_error_offsets,
        pedestals_corrected=corrected.pop(),
    )
