"""Encoder of zemil16 events: a chip header byte, then little-endian words in
one block per channel, then a two-byte chip footer.

A block holds a header (channel in the high byte, first window label in the
low byte), W * S samples stored inverted (NOT value), and a footer word; its
window labels are the ring rotated to start at the first label."""

from __future__ import annotations

import struct
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence

if TYPE_CHECKING:
    import random

    import numpy as np
    from numpy.typing import NDArray

N_WINDOW_HEADERS = 1
N_WINDOW_FOOTERS = 1


def encode_block(channel: int, first_label: int, samples: Sequence[int], *, n_window_headers: int = N_WINDOW_HEADERS,
                 n_window_footers: int = N_WINDOW_FOOTERS, header: int | None = None) -> bytes:
    """One channel block: `samples` are the W * S values in ring order starting
    at `first_label`; `header` overrides the block header word."""
    h = ((channel << 8) | first_label) if header is None else header
    words = [h] + [0] * max(0, n_window_headers - 1) if n_window_headers else []
    words += [~s & 0xFFFF for s in samples]
    words += [0xA5A5] * n_window_footers
    return struct.pack(f"<{len(words)}H", *(w & 0xFFFF for w in words))


def encode_event(blocks: Iterable[bytes], *, chip_header: bytes = b"\x01", chip_footer: bytes = b"\x00\x00") -> bytes:
    """Joins channel blocks made by encode_block between the chip header and footer."""
    return chip_header + b"".join(blocks) + chip_footer


def rotated_labels(first_label: int, windows: int) -> list[int]:
    """The window labels of a block: the ring of `windows` from `first_label`."""
    return [(first_label + k) % windows for k in range(windows)]


def sample_params(**overrides: Any) -> dict[str, Any]:
    """16 channels, 8 windows of 16 samples: 2048 samples per event."""
    params = {"model": "zemil16", "channels": 16, "windows": 8, "samples": 16}
    params.update(overrides)
    return params


def sample_event(params: Mapping[str, Any], rng: random.Random) -> bytes:
    """Random samples on every channel, all blocks starting at the same random label."""
    channels, windows, samples = params["channels"], params["windows"], params["samples"]
    first = rng.randrange(windows)
    blocks = [encode_block(ch, first, [rng.randrange(0x400) for _ in range(windows * samples)])
              for ch in range(channels)]
    return encode_event(blocks)


def batch_layout(params: Mapping[str, Any]) -> tuple[int, int]:
    """Windows per channel in an event of encode_batch, and the ring of labels."""
    return params["windows"], params["windows"]


def encode_batch(params: Mapping[str, Any], samples: NDArray[Any], first_labels: NDArray[Any]) -> NDArray[np.uint8]:
    """Events of one block per channel holding its whole ring from the
    event's first label, for samples (events, channels, windows * S); rows of
    bytes (events, length)."""
    import numpy as np

    from . import batch

    events, channels, total = samples.shape
    blocks = np.empty((events, channels, N_WINDOW_HEADERS + total + N_WINDOW_FOOTERS), dtype=np.uint16)
    blocks[:, :, 0] = np.arange(channels) << 8 | np.asarray(first_labels, dtype=np.uint16)[:, None]
    blocks[:, :, N_WINDOW_HEADERS:-N_WINDOW_FOOTERS] = ~np.asarray(samples, dtype=np.uint16)
    blocks[:, :, -N_WINDOW_FOOTERS:] = 0xA5A5
    body = batch.as_bytes(blocks.reshape(events, -1), big_endian=False)
    chip_header = np.full((events, 1), 1, dtype=np.uint8)
    return np.hstack([chip_header, body, np.zeros((events, 2), dtype=np.uint8)])
