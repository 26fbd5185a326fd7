"""Encoder of fennikoc events (fennikoc_fennik, fennikoc_tessla): big-endian
chip records, each followed by the chip stop word.

A chip record holds `n_chip_headers` words (the top 4 bits of the first are
the chip number), then windows of `n_window_headers` + S words: a window
header (channel within the chip in bits 8-9, label in bits 0-7 with the
default masks), further header words, and S 12-bit samples."""

from __future__ import annotations

import struct
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence

if TYPE_CHECKING:
    import random

    import numpy as np
    from numpy.typing import NDArray

STOP_WORD = 0xFFFF
N_CHIP_HEADERS = 3
N_WINDOW_HEADERS = 1
CHAN_SHIFT = 8


def window_header(chan_in_chip: int, label: int, chan_shift: int = CHAN_SHIFT) -> int:
    """The word that opens a window: channel within the chip and label."""
    return ((chan_in_chip << chan_shift) | label) & 0xFFFF


def encode_window(chan_in_chip: int, label: int, samples: Sequence[int], *, n_window_headers: int = N_WINDOW_HEADERS,
                  chan_shift: int = CHAN_SHIFT) -> list[int]:
    """The words of one window (header, zero padding headers, samples)."""
    words = [window_header(chan_in_chip, label, chan_shift)] if n_window_headers else []
    return words + [0] * max(0, n_window_headers - 1) + list(samples)


def encode_chip(chip: int, windows: Iterable[tuple[int, int, Sequence[int]]], *, n_chip_headers: int = N_CHIP_HEADERS,
                n_window_headers: int = N_WINDOW_HEADERS, chan_shift: int = CHAN_SHIFT,
                stop_word: int = STOP_WORD) -> list[int]:
    """The words of one chip record and its stop word. `windows` holds
    (channel within chip, label, samples) triples."""
    words = ([chip << 12] + [0x0100 + i for i in range(1, n_chip_headers)]) if n_chip_headers else []
    for chan_in_chip, label, samples in windows:
        words += encode_window(chan_in_chip, label, samples, n_window_headers=n_window_headers,
                               chan_shift=chan_shift)
    return words + [stop_word]


def encode_words(words: Sequence[int]) -> bytes:
    """Words as big-endian 16-bit bytes (each taken modulo 2**16)."""
    return struct.pack(f">{len(words)}H", *(w & 0xFFFF for w in words))


def encode_event(chips: Iterable[Sequence[int]]) -> bytes:
    """Joins chip records made by encode_chip (each ends in its stop word)."""
    return encode_words([w for chip in chips for w in chip])


def sample_params(**overrides: Any) -> dict[str, Any]:
    """2 chips of 4 channels, 8 windows of 32 samples per channel: 2048 samples."""
    params = {"model": "fennikoc_fennik", "channels": 8, "windows": 8, "samples": 32}
    params.update(overrides)
    return params


def sample_event(params: Mapping[str, Any], rng: random.Random) -> bytes:
    """Every channel reads the same run of window labels, starting at a random
    label of the ring of `windows` (wrapping round it)."""
    channels, windows, samples = params["channels"], params["windows"], params["samples"]
    num_chips = params.get("num_chips", 2)
    per_chip = channels // num_chips
    first = rng.randrange(windows)
    chips = []
    for chip in range(num_chips):
        chip_windows = [(ch, (first + w) % windows, [rng.randrange(0x1000) for _ in range(samples)])
                        for w in range(windows) for ch in range(per_chip)]
        chips.append(encode_chip(chip, chip_windows))
    return encode_event(chips)


def batch_layout(params: Mapping[str, Any]) -> tuple[int, int]:
    """Windows per channel in an event of encode_batch, and the ring of labels."""
    return params["windows"], params["windows"]


def encode_batch(params: Mapping[str, Any], samples: NDArray[Any], first_labels: NDArray[Any]) -> NDArray[np.uint8]:
    """Events as sample_event lays them out (`num_chips` chips, default 2, of
    the default framing, every channel reading the whole ring), for 12-bit
    samples (events, channels, windows * S); rows of bytes (events, length)."""
    import numpy as np

    from . import batch

    events, channels, _ = samples.shape
    count, ring = batch_layout(params)
    num_chips = params.get("num_chips", 2)
    per_chip = channels // num_chips
    blocks = batch.windows_of(samples, count).reshape(events, num_chips, per_chip, count, -1)
    blocks = blocks.transpose(0, 1, 3, 2, 4)  # events, chips, windows, channels in chip, S
    labels = batch.labels(first_labels, count, ring)
    windows = np.empty(blocks.shape[:4] + (N_WINDOW_HEADERS + blocks.shape[4],), dtype=np.uint16)
    windows[..., 0] = np.arange(per_chip) << CHAN_SHIFT | labels[:, None, :, None]
    windows[..., N_WINDOW_HEADERS:] = blocks & 0xFFF
    head = np.empty((events, num_chips, N_CHIP_HEADERS), dtype=np.uint16)
    head[:, :, 0] = np.arange(num_chips) << 12
    head[:, :, 1:] = 0x0100 + np.arange(1, N_CHIP_HEADERS)
    stop = np.full((events, num_chips, 1), STOP_WORD, dtype=np.uint16)
    chips = np.concatenate([head, windows.reshape(events, num_chips, -1), stop], axis=2)
    return batch.as_bytes(chips.reshape(events, -1), big_endian=True)
