"""merrowv3 events in the board's standard framing (the default parser keys).

A packet is big-endian 16-bit words: three event header words, then windows,
then one footer word. A window is one block per channel, each a channel
header word (channel in bits 10-11, window label in bits 1-9) followed by
`samples` sample words (value in bits 1-12), then one window header word.
The packet length alone tells the parser the channel and window counts, so
a packet may hold at most `windows` - 1 windows.
"""

from __future__ import annotations

import struct
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence

from .labels import random_labels

if TYPE_CHECKING:
    import random

    import numpy as np
    from numpy.typing import NDArray

MODEL = "merrowv3"
MAX_CHANNEL = 3
MAX_LABEL = 0x1FF
MAX_SAMPLE = 0xFFF


def sample_params(**overrides: Any) -> dict[str, Any]:
    """4 channels, 64 samples; `windows` 9 so that a packet of 8 windows
    (the most a length can tell apart from 9) holds 4 x 8 x 64 samples."""
    params = {"model": MODEL, "channels": 4, "windows": 9, "samples": 64}
    params.update(overrides)
    return params


def words_to_bytes(words: Sequence[int]) -> bytes:
    """16-bit words as big-endian bytes."""
    return struct.pack(f">{len(words)}H", *words)


def channel_header(channel: int, label: int) -> int:
    """The word that opens a channel's block of a window."""
    return (channel & 0x3) << 10 | (label & 0x1FF) << 1


def encode_windows(windows: Iterable[Iterable[tuple[int, int, Sequence[int]]]], *,
                   header: Sequence[int] = (0, 0, 0), footer: int = 0, window_header: int = 0) -> bytes:
    """Encodes windows given as lists of (channel, label, samples) blocks, in
    packet order. Every window must hold the same number of blocks, each with
    the same number of samples, for the packet length to make sense."""
    words = list(header)
    for blocks in windows:
        for channel, label, samples in blocks:
            words.append(channel_header(channel, label))
            words.extend((v & 0xFFF) << 1 for v in samples)
        words.append(window_header)
    words.append(footer)
    return words_to_bytes(words)


def encode_event(channel_samples: Sequence[Sequence[Sequence[int]]], labels: Sequence[int]) -> bytes:
    """One packet: channel_samples[c][k] are the samples of channel c in
    window k, labels[k] the label of window k (the same for every channel)."""
    windows = [[(c, label, per_window[k]) for c, per_window in enumerate(channel_samples)]
               for k, label in enumerate(labels)]
    return encode_windows(windows)


def expected(channel_samples: Sequence[Sequence[Sequence[int]]], labels: Sequence[int],
             params: Mapping[str, Any]) -> dict[str, Any]:
    """The dictionary fields the parser gives for encode_event's packet."""
    windows, samples = params["windows"], params["samples"]
    first = labels[0] if labels else 0
    time: list[int] = []
    for label in labels:
        rel = label - first if label >= first else label + windows - first
        time.extend((rel * samples + j) & 0xFFFF for j in range(samples))
    channels = params["channels"]
    data = [[float(v) for per_window in chan for v in per_window] for chan in channel_samples]
    data += [[] for _ in range(channels - len(data))]
    lab = [list(labels) for _ in channel_samples] + [[] for _ in range(channels - len(channel_samples))]
    tim = [list(time) for _ in channel_samples] + [[] for _ in range(channels - len(channel_samples))]
    return {"data": data, "window_labels": lab, "time": tim}


def sample_event(params: Mapping[str, Any], rng: random.Random, window_count: int | None = None) -> bytes:
    """A random packet of all `channels` channels and `windows` - 1 windows."""
    channels, samples = params["channels"], params["samples"]
    window_count = params["windows"] - 1 if window_count is None else window_count
    labels = random_labels(window_count, min(params["windows"], MAX_LABEL + 1), rng)
    channel_samples = [[[rng.randrange(MAX_SAMPLE + 1) for _ in range(samples)] for _ in labels]
                       for _ in range(channels)]
    return encode_event(channel_samples, labels)


def batch_layout(params: Mapping[str, Any]) -> tuple[int, int]:
    """Windows per channel in an event of encode_batch, and the ring of labels."""
    return params["windows"] - 1, min(params["windows"], MAX_LABEL + 1)


def encode_batch(params: Mapping[str, Any], samples: NDArray[Any], first_labels: NDArray[Any]) -> NDArray[np.uint8]:
    """Events of every channel's `windows` - 1 windows, as encode_event lays
    them out, for samples (events, channels, windows * S) of up to 4 channels;
    rows of bytes (events, length)."""
    import numpy as np

    from . import batch

    events, channels, _ = samples.shape
    count, ring = batch_layout(params)
    blocks = batch.windows_of(samples, count).transpose(0, 2, 1, 3)  # events, windows, channels, S
    labels = batch.labels(first_labels, count, ring)
    words = np.empty(blocks.shape[:3] + (blocks.shape[3] + 1,), dtype=np.uint16)
    words[..., 0] = (np.arange(channels) & 0x3) << 10 | ((labels & MAX_LABEL) << 1)[:, :, None]
    words[..., 1:] = (blocks & MAX_SAMPLE) << 1
    window_header = np.zeros((events, count, 1), dtype=np.uint16)
    body = np.concatenate([words.reshape(events, count, -1), window_header], axis=2)
    return batch.as_bytes(np.hstack([batch.zeros(events, 3), body.reshape(events, -1), batch.zeros(events, 1)]),
                          big_endian=True)
