"""What the whole-array encoders share: events as rows of 16-bit words,
turned into rows of bytes in the board's byte order."""

from __future__ import annotations

from typing import Any

import numpy as np
from numpy.typing import NDArray


def labels(first_labels: NDArray[Any], count: int, ring: int) -> NDArray[np.int64]:
    """(events, count): the labels of `count` consecutive windows of each
    event, from its first label round a ring of `ring` labels."""
    return (np.asarray(first_labels, dtype=np.int64)[:, None] + np.arange(count)) % max(ring, 1)


def windows_of(samples: NDArray[Any], count: int) -> NDArray[Any]:
    """(events, channels, count * S) samples as (events, channels, count, S)."""
    events, channels, total = samples.shape
    return samples.reshape(events, channels, count, total // max(count, 1))


def as_bytes(words: NDArray[Any], big_endian: bool) -> NDArray[np.uint8]:
    """Rows of words as rows of bytes."""
    ordered = np.ascontiguousarray(words, dtype=">u2" if big_endian else "<u2")
    return ordered.view(np.uint8).reshape(len(words), -1)


def zeros(events: int, count: int) -> NDArray[np.uint16]:
    """(events, count) zero words."""
    return np.zeros((events, count), dtype=np.uint16)
