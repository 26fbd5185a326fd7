"""tesslav3 (and fennikv2) events in the board's standard framing (the
default parser keys).

An event is big-endian 16-bit words: three event header words, then windows
of 1 + `samples` words, then one footer word. A window's first word carries
the channel in bits 9-10 and the window label in bits 1-8; its other words
carry a sample value in bits 1-12. The parser deals the windows round-robin
to the channels present, in ascending channel order, so an event lists the
windows of one readout cycle channel after channel.
"""

from __future__ import annotations

import struct
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence

from .labels import random_labels

if TYPE_CHECKING:
    import random

    import numpy as np
    from numpy.typing import NDArray

MODEL = "tesslav3"
MAX_CHANNEL = 3
MAX_LABEL = 0xFF
MAX_SAMPLE = 0xFFF

# Channel number -> its windows, each (label, samples).
ChannelWindows = Mapping[int, Sequence[tuple[int, Sequence[int]]]]


def sample_params(**overrides: Any) -> dict[str, Any]:
    """4 channels, 8 windows, 64 samples: an event of 8 windows per channel
    holds 4 x 8 x 64 samples."""
    params = {"model": MODEL, "channels": 4, "windows": 8, "samples": 64}
    params.update(overrides)
    return params


def words_to_bytes(words: Sequence[int]) -> bytes:
    """16-bit words as big-endian bytes."""
    return struct.pack(f">{len(words)}H", *words)


def window_header(channel: int, label: int) -> int:
    """The word that opens a window."""
    return (channel & 0x3) << 9 | (label & 0xFF) << 1


def encode_windows(windows: Iterable[tuple[int, int, Sequence[int]]], *, header: bytes = b"\x00" * 6,
                   footer: int = 0) -> bytes:
    """Encodes windows given as (channel, label, samples) in event order after
    the 6 header bytes `header`."""
    assert len(header) == 6
    words: list[int] = []
    for channel, label, samples in windows:
        words.append(window_header(channel, label))
        words.extend((v & 0xFFF) << 1 for v in samples)
    words.append(footer)
    return header + words_to_bytes(words)


def encode_event(channel_windows: ChannelWindows, *, header: bytes = b"\x00" * 6) -> bytes:
    """channel_windows maps a channel number to its windows, a list of
    (label, samples); every channel has the same number of windows. They are
    laid out round-robin, in ascending channel order, as the parser reads them."""
    channels = sorted(channel_windows)
    counts = {len(channel_windows[c]) for c in channels}
    assert len(counts) <= 1, "every channel needs the same number of windows"
    rounds = counts.pop() if counts else 0
    windows = [(c, *channel_windows[c][k]) for k in range(rounds) for c in channels]
    return encode_windows(windows, header=header)


def expected(channel_windows: ChannelWindows, params: Mapping[str, Any]) -> dict[str, Any]:
    """The dictionary fields the parser gives for encode_event's event."""
    channels, windows, samples = params["channels"], params["windows"], params["samples"]
    data: list[list[float]] = [[] for _ in range(channels)]
    labels: list[list[int]] = [[] for _ in range(channels)]
    time: list[list[int]] = [[] for _ in range(channels)]
    for c, wins in channel_windows.items():
        for label, values in wins:
            data[c].extend(float(v) for v in values)
            labels[c].append(label)
        first = labels[c][0] if labels[c] else 0
        for label in labels[c]:
            rel = label - first if label >= first else label + windows - first
            time[c].extend((rel * samples + j) & 0xFFFF for j in range(samples))
    return {"data": data, "window_labels": labels, "time": time}


def random_channel_windows(params: Mapping[str, Any], rng: random.Random,
                           window_count: int | None = None) -> dict[int, list[tuple[int, list[int]]]]:
    """Random samples of `window_count` windows (default `windows`) for each
    channel, all reading the same run of labels round the ring."""
    channels, samples = params["channels"], params["samples"]
    window_count = params["windows"] if window_count is None else window_count
    ring = min(params["windows"], MAX_LABEL + 1) or 1
    return {c: [(label, [rng.randrange(MAX_SAMPLE + 1) for _ in range(samples)])
                for label in random_labels(window_count, ring, rng)]
            for c in range(min(channels, MAX_CHANNEL + 1))}


def sample_event(params: Mapping[str, Any], rng: random.Random, window_count: int | None = None) -> bytes:
    """A random event: `windows` windows for each of the `channels` channels."""
    header = bytes(rng.randrange(256) for _ in range(6))
    return encode_event(random_channel_windows(params, rng, window_count), header=header)


def batch_layout(params: Mapping[str, Any]) -> tuple[int, int]:
    """Windows per channel in an event of encode_batch, and the ring of labels."""
    return params["windows"], min(params["windows"], MAX_LABEL + 1) or 1


def encode_batch(params: Mapping[str, Any], samples: NDArray[Any], first_labels: NDArray[Any]) -> NDArray[np.uint8]:
    """Events of `windows` windows per channel, round-robin as encode_event
    lays them out (zero header bytes), for samples (events, channels,
    windows * S) of up to 4 channels; rows of bytes (events, length)."""
    import numpy as np

    from . import batch

    events, channels, _ = samples.shape
    count, ring = batch_layout(params)
    blocks = batch.windows_of(samples, count).transpose(0, 2, 1, 3)  # events, windows, channels, S
    labels = batch.labels(first_labels, count, ring)
    words = np.empty(blocks.shape[:3] + (blocks.shape[3] + 1,), dtype=np.uint16)
    words[..., 0] = (np.arange(channels) & 0x3) << 9 | ((labels & MAX_LABEL) << 1)[:, :, None]
    words[..., 1:] = (blocks & MAX_SAMPLE) << 1
    return batch.as_bytes(np.hstack([batch.zeros(events, 3), words.reshape(events, -1), batch.zeros(events, 1)]),
                          big_endian=True)
