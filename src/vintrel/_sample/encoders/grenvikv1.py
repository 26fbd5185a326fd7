"""Encoder of grenvik events: big-endian packets, each naming a group of four
channels (word 0) and carrying four windows, then 4 unread bytes.

Packet: `n_event_headers` header words, four windows of `n_window_headers`
+ S words (label, channel offset within the group, S samples, padding),
`n_footer_words` footer words and one more word, so that whole packets
leave the event's last 4 bytes as the last packet's unread tail."""

from __future__ import annotations

import struct
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence

if TYPE_CHECKING:
    import random

    import numpy as np
    from numpy.typing import NDArray

N_EVENT_HEADERS = 7
N_WINDOW_HEADERS = 2
N_FOOTER_WORDS = 1


def packet_bytes(samples: int, *, n_event_headers: int = N_EVENT_HEADERS, n_window_headers: int = N_WINDOW_HEADERS,
                 n_footer_words: int = N_FOOTER_WORDS) -> int:
    """Q, the size of one packet in bytes."""
    return 2 * (n_event_headers + 4 * (n_window_headers + samples) + n_footer_words) + 2


def encode_window(label: int, offset: int, samples: Sequence[int], *,
                  n_window_headers: int = N_WINDOW_HEADERS) -> list[int]:
    """The words of one window: label, channel offset, samples and padding."""
    return [label, offset] + list(samples) + [0] * (n_window_headers - 2)


def encode_packet(group: int, windows: Iterable[tuple[int, int, Sequence[int]]], *,
                  n_event_headers: int = N_EVENT_HEADERS, n_window_headers: int = N_WINDOW_HEADERS,
                  n_footer_words: int = N_FOOTER_WORDS) -> bytes:
    """One packet; `windows` holds four (label, channel offset, samples) triples."""
    words = [group] + [0x1000 + i for i in range(1, n_event_headers)]
    for label, offset, samples in windows:
        words += encode_window(label, offset, samples, n_window_headers=n_window_headers)
    words += [0xBEEF] * n_footer_words + [0xCAFE]
    return struct.pack(f">{len(words)}H", *(w & 0xFFFF for w in words))


def encode_event(packets: Iterable[bytes]) -> bytes:
    """Joins packets made by encode_packet into one event."""
    return b"".join(packets)


def sample_params(**overrides: Any) -> dict[str, Any]:
    """8 channels (two groups), 4 windows of 64 samples each: 2048 samples."""
    params = {"model": "grenvik", "channels": 8, "windows": 4, "samples": 64}
    params.update(overrides)
    return params


def sample_event(params: Mapping[str, Any], rng: random.Random) -> bytes:
    """One packet per group and window: the group's four channels read the
    same window label, labels running round the ring from a random start."""
    channels, windows, samples = params["channels"], params["windows"], params["samples"]
    first = rng.randrange(windows)
    packets = []
    for w in range(windows):
        for group in range(channels // 4):
            label = (first + w) % windows
            packets.append(encode_packet(group, [(label, c, [rng.randrange(1 << 16) for _ in range(samples)])
                                                 for c in range(4)]))
    return encode_event(packets)


def batch_layout(params: Mapping[str, Any]) -> tuple[int, int]:
    """Windows per channel in an event of encode_batch, and the ring of labels."""
    return params["windows"], params["windows"]


def encode_batch(params: Mapping[str, Any], samples: NDArray[Any], first_labels: NDArray[Any]) -> NDArray[np.uint8]:
    """Events as sample_event lays them out (a packet per window and group of
    four channels), for 16-bit samples (events, channels, windows * S);
    rows of bytes (events, length)."""
    import numpy as np

    from . import batch

    events, channels, _ = samples.shape
    count, ring = batch_layout(params)
    groups = channels // 4
    blocks = batch.windows_of(samples[:, :groups * 4], count).reshape(events, groups, 4, count, -1)
    blocks = blocks.transpose(0, 3, 1, 2, 4)  # events, windows, groups, channel in group, S
    labels = batch.labels(first_labels, count, ring)
    head = np.empty((events, count, groups, N_EVENT_HEADERS), dtype=np.uint16)
    head[..., 0] = np.arange(groups)
    head[..., 1:] = 0x1000 + np.arange(1, N_EVENT_HEADERS)
    windows = np.empty(blocks.shape[:4] + (N_WINDOW_HEADERS + blocks.shape[4],), dtype=np.uint16)
    windows[..., 0] = labels[:, :, None, None]
    windows[..., 1] = np.arange(4)
    windows[..., N_WINDOW_HEADERS:] = blocks
    tail = np.empty((events, count, groups, N_FOOTER_WORDS + 1), dtype=np.uint16)
    tail[..., :-1], tail[..., -1] = 0xBEEF, 0xCAFE
    packets = np.concatenate([head, windows.reshape(events, count, groups, -1), tail], axis=3)
    return batch.as_bytes(packets.reshape(events, -1), big_endian=True)
