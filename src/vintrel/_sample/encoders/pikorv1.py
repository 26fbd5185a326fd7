"""Encoder of pikor family events (pikorv1_evalr2, pikorv2_evalr1,
pikorv2_evalr2, pikorv2_eval): big-endian packets of `packet_size // 2 + 1`
words, one per channel and window, each closed by the stop word.

Packet words: 0 channel, 1 timing high part, 2 timing low part, 3 window
label, then the samples from word `headers` on, padding, and the stop word."""

from __future__ import annotations

import struct
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence

if TYPE_CHECKING:
    import random

    import numpy as np
    from numpy.typing import NDArray

STOP_WORD = 0xFA5A
HEADERS = 4
PACKET_SIZE = 72  # bytes key; gives 37-word packets
TIMING_MASK = 0x0FFF
TIMING_SHIFT = 12


def packet_words(packet_size: int = PACKET_SIZE) -> int:
    """Words of a packet, stop word included, for a `packet_size` key."""
    return packet_size // 2 + 1


def split_timing(timing: int, shift: int = TIMING_SHIFT, mask: int = TIMING_MASK) -> tuple[int, int]:
    """The words 1 and 2 that carry a timing value."""
    return (timing >> shift) & mask, timing & mask


def encode_packet(channel: int, label: int, timing: int, samples: Sequence[int], *, headers: int = HEADERS,
                  packet_size: int = PACKET_SIZE, stop_word: int = STOP_WORD, timing_shift: int = TIMING_SHIFT,
                  timing_mask: int = TIMING_MASK, header_words: Sequence[int] | None = None) -> bytes:
    """One packet. `header_words` overrides words 0..3 as given (for odd
    headers); samples fill the words from `headers` on, zeros pad up to the
    stop word. Raises ValueError when the samples do not fit."""
    size = packet_words(packet_size)
    if header_words is None:
        high, low = split_timing(timing, timing_shift, timing_mask)
        header_words = [channel, high, low, label]
    words = list(header_words[:headers]) + [0] * max(0, headers - len(header_words))
    words += list(samples)
    if len(words) > size - 1:
        raise ValueError(f"{len(words)} header and sample words do not fit a {size}-word packet")
    words += [0] * (size - 1 - len(words)) + [stop_word]
    return struct.pack(f">{len(words)}H", *(w & 0xFFFF for w in words))


def encode_event(packets: Iterable[bytes]) -> bytes:
    """Joins packets made by encode_packet into one event."""
    return b"".join(packets)


def sample_params(**overrides: Any) -> dict[str, Any]:
    """8 channels of 8 packets of 32 samples each: 2048 samples per event."""
    params = {"model": "pikorv1_evalr2", "channels": 8, "windows": 8, "samples": 32}
    params.update(overrides)
    return params


def sample_event(params: Mapping[str, Any], rng: random.Random) -> bytes:
    """Packets of every channel, window after window; labels and timing
    values run on consecutively from a random start per event."""
    channels, samples = params["channels"], params["samples"]
    n_windows = params.get("windows", 8)
    first_label = rng.randrange(64)
    first_timing = rng.randrange(1 << 16)
    packets = []
    for w in range(n_windows):
        for ch in range(channels):
            data = [rng.randrange(1, 0x1000) for _ in range(samples)]
            packets.append(encode_packet(ch, (first_label + w) % 64, first_timing + w, data))
    return encode_event(packets)


LABEL_RING = 64  # sample_event's labels run round 64


def batch_layout(params: Mapping[str, Any]) -> tuple[int, int]:
    """Windows per channel in an event of encode_batch, and the ring of labels."""
    return params.get("windows", 8), LABEL_RING


def encode_batch(params: Mapping[str, Any], samples: NDArray[Any], first_labels: NDArray[Any]) -> NDArray[np.uint8]:
    """Events as sample_event lays them out (a packet per window and channel,
    window after window), for 12-bit samples (events, channels, windows * S)
    with S up to 32; timing values count windows from each event's first
    label. Rows of bytes (events, length)."""
    import numpy as np

    from . import batch

    events, channels, _ = samples.shape
    count, ring = batch_layout(params)
    blocks = batch.windows_of(samples, count).transpose(0, 2, 1, 3)  # events, windows, channels, S
    per_window = blocks.shape[3]
    labels = batch.labels(first_labels, count, ring)
    timing = np.asarray(first_labels, dtype=np.int64)[:, None] + np.arange(count)
    packets = np.zeros(blocks.shape[:3] + (packet_words(),), dtype=np.uint16)
    packets[..., 0] = np.arange(channels)
    packets[..., 1] = ((timing >> TIMING_SHIFT) & TIMING_MASK)[:, :, None]
    packets[..., 2] = (timing & TIMING_MASK)[:, :, None]
    packets[..., 3] = labels[:, :, None]
    packets[..., HEADERS:HEADERS + per_window] = blocks & 0xFFF
    packets[..., -1] = STOP_WORD
    return batch.as_bytes(packets.reshape(events, -1), big_endian=True)
