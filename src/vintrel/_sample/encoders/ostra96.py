"""Encoder of ostra96 events: chips of K channel blocks, each block a header
word (channel within the chip, first window label), the channel's W * S sample
words and a footer word; 16-bit little-endian words.

Every sample word is a code word of the board's error-correcting code: the
sample, inverted, in bits 0..9, Hamming check bits in 10..13 and an overall
parity bit in 15. `flips` corrupts chosen bits of chosen sample words after
encoding, to make data blocks with known errors.

With W * S = 4096 and the default keys an event is one data block of the
code's block layout (six chips of 131140 bytes plus a 2-byte footer).
"""

from __future__ import annotations

import array
import random
import sys
from typing import TYPE_CHECKING, Any, Iterable, Mapping, Sequence

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

SYNDROME_MASKS = (0x055B, 0x0A6D, 0x138E, 0x23F0)
SYNDROME_BITS = (10, 11, 0, 12, 1, 2, 3, 13, 4, 5, 6, 7, 8, 9, 15)  # for S = 1..15

DEFAULT_KEYS = {
    "num_chips": 6,
    "n_chip_headers": 1,
    "n_chip_footers": 3,
    "n_window_headers": 1,
    "n_window_footers": 1,
    "data_mask": 0x03FF,
    "chanmask": 0xFF00,
    "chan_shift": 8,
    "windmask": 0x00FF,
    "n_event_footers": 2,
}


def parity(value: int) -> int:
    """1 when `value` has an odd number of set bits, else 0."""
    return bin(value).count("1") & 1


def syndrome_value(word: int) -> int:
    """The syndrome of a word: 0 for a sound code word."""
    return sum(parity(word & mask) << k for k, mask in enumerate(SYNDROME_MASKS))


def code_word(data: int, bit14: int = 0) -> int:
    """The sound code word holding `data` (10 bits) and `bit14`: check bits
    make every syndrome bit 0, bit 15 makes the overall parity even."""
    word = (data & 0x3FF) | (bit14 & 1) << 14
    for k, mask in enumerate(SYNDROME_MASKS):
        word |= parity(word & mask) << (10 + k)
    return word | parity(word) << 15


# The code word the board sends for each sample value (samples go out inverted).
_SAMPLE_WORDS = [code_word(~value & 0x3FF) for value in range(1024)]


def sample_word(value: int) -> int:
    """The word carrying sample `value` (0..1023) as the board sends it."""
    return _SAMPLE_WORDS[value & 0x3FF]


def sample_params(**overrides: Any) -> dict[str, Any]:
    """96 channels on six chips, W = 4 windows of S = 5 samples: 1920 samples
    per event. Free keys are left at the parser's defaults unless given."""
    params = {"model": "ostra96", "channels": 96, "windows": 4, "samples": 5}
    params.update(overrides)
    return params


def block_params(**overrides: Any) -> dict[str, Any]:
    """Parameters whose events are full data blocks of the code's layout."""
    return sample_params(windows=64, samples=64, **overrides)


def layout(params: Mapping[str, Any]) -> dict[str, int]:
    """The keys (defaults filled in) and derived sizes K, B (words), C (bytes)."""
    keys = {name: params.get(name, default) for name, default in DEFAULT_KEYS.items()}
    ws = params["windows"] * params["samples"]
    k = params["channels"] // keys["num_chips"]
    b = keys["n_window_headers"] + keys["n_window_footers"] + ws
    c = keys["n_chip_headers"] + keys["n_chip_footers"] + 2 * k * b
    return {**keys, "K": k, "B": b, "C": c, "WS": ws}


def word_position(params: Mapping[str, Any], chip_index: int, k: int, sample_index: int) -> int:
    """Byte offset, within the event, of sample word `sample_index` of block k
    of the chip at position `chip_index`."""
    lay = layout(params)
    return (chip_index * lay["C"] + lay["n_chip_headers"] + 2 * k * lay["B"]
            + 2 * (lay["n_window_headers"] + sample_index))


def encode_event(params: Mapping[str, Any], samples: Mapping[int, Sequence[int]] | Sequence[Sequence[int]] = (),
                 first_labels: Mapping[int, int] | None = None, chip_numbers: Iterable[int] | None = None,
                 flips: Mapping[tuple[int, int], Iterable[int]] | None = None) -> bytes:
    """One event. Chip at position i carries chip number chip_numbers[i]
    (default 0 .. num_chips - 1) and channels K * number + k for k < K.
    `samples[channel]` holds the channel's W * S values (missing: zeros);
    `first_labels[channel]` its first window label (default 0);
    `flips[(channel, sample_index)]` the bits to flip in that sample word."""
    lay = layout(params)
    samples = dict(enumerate(samples)) if not isinstance(samples, Mapping) else samples
    first_labels = first_labels or {}
    flips = flips or {}
    chips = list(range(lay["num_chips"]) if chip_numbers is None else chip_numbers)
    ws, shift = lay["WS"], lay["chan_shift"] % 16
    out = bytearray()
    for number in chips:
        out += bytes([number & 0x3F]) + bytes(max(lay["n_chip_headers"] - 1, 0))
        for k in range(lay["K"]):
            channel = lay["K"] * number + k
            header = ((k << shift) & lay["chanmask"]) | (first_labels.get(channel, 0) & lay["windmask"])
            words = array.array("H", [header] + [0] * (lay["n_window_headers"] - 1))
            values = samples.get(channel, ())
            body = [sample_word(v) for v in values] + [sample_word(0)] * (ws - len(values))
            for (ch, index), bits in flips.items():
                if ch == channel:
                    for bit in bits:
                        body[index] ^= 1 << bit
            words.extend(body)
            words.extend([0] * lay["n_window_footers"])
            if sys.byteorder == "big":
                words.byteswap()
            out += words.tobytes()
        out += bytes(lay["n_chip_footers"])
    out += bytes(lay["n_event_footers"])
    return bytes(out)


def sample_event(params: Mapping[str, Any], rng: random.Random) -> bytes:
    """Random sample values and first labels on every chip of the layout."""
    lay = layout(params)
    channels = lay["K"] * lay["num_chips"]
    samples = {ch: [rng.randrange(1024) for _ in range(lay["WS"])] for ch in range(channels)}
    windows = max(min(params["windows"], lay["windmask"] + 1), 1)
    labels = {ch: rng.randrange(windows) for ch in range(channels)}
    return encode_event(params, samples, labels)


def batch_layout(params: Mapping[str, Any]) -> tuple[int, int]:
    """Windows per channel in an event of encode_batch, and the ring of labels."""
    return params["windows"], params["windows"]


def encode_batch(params: Mapping[str, Any], samples: NDArray[Any], first_labels: NDArray[Any]) -> NDArray[np.uint8]:
    """Events of the default keys, each channel's block holding its whole ring
    from the event's first label as sound code words, for 10-bit samples
    (events, channels, windows * S); rows of bytes (events, length)."""
    import numpy as np

    from . import batch

    lay = layout(params)
    events, channels, total = samples.shape
    chips, k = lay["num_chips"], lay["K"]
    table = np.asarray(_SAMPLE_WORDS, dtype=np.uint16)
    blocks = np.zeros((events, chips, k, lay["B"]), dtype=np.uint16)
    blocks[..., 0] = (np.arange(k) << lay["chan_shift"]) & lay["chanmask"]
    blocks[..., 0] |= (np.asarray(first_labels, dtype=np.uint16) & lay["windmask"])[:, None, None]
    start = lay["n_window_headers"]
    blocks[..., start:start + total] = table[samples[:, :chips * k].reshape(events, chips, k, total) & 0x3FF]
    body = batch.as_bytes(blocks.reshape(events * chips, -1), big_endian=False).reshape(events, chips, -1)
    head = np.zeros((events, chips, lay["n_chip_headers"]), dtype=np.uint8)
    head[:, :, 0] = np.arange(chips) & 0x3F
    foot = np.zeros((events, chips, lay["n_chip_footers"]), dtype=np.uint8)
    chip_bytes = np.concatenate([head, body, foot], axis=2).reshape(events, -1)
    return np.hstack([chip_bytes, np.zeros((events, lay["n_event_footers"]), dtype=np.uint8)])
