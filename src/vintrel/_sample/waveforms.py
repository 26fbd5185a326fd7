"""Waveforms of a sample run: pulses of a shaping amplifier on a pedestal
that differs per channel, window label and sample position (the fixed
pattern of a switched-capacitor array), with white noise per sample.

Amplitudes follow a peak (a line of the source) over an exponential
background; every channel has its own gain and a pulse in most events. All
levels scale with the board's full range, so that a 10-bit and a 14-bit board
look alike relative to their range."""

from __future__ import annotations

from typing import NamedTuple

import numpy as np
from numpy.typing import NDArray

HIT_PROBABILITY = 0.85  # of a channel having a pulse in an event
PEAK_FRACTION = 0.6  # of pulses in the peak rather than the background
PEAK_LEVEL = 0.3  # peak amplitude, as a fraction of the full range
PEAK_WIDTH = 0.06  # relative sigma of the peak
BACKGROUND_MEAN = 0.3  # of the peak amplitude
TRIGGER_POSITION = 0.3  # pulse start, as a fraction of the record
NOISE = 1.5 / 4096  # sigma of the white noise, as a fraction of the full range


class Channels(NamedTuple):
    """What stays the same for a channel through the run."""

    pedestals: NDArray[np.float32]  # (channels, label ring, samples per window)
    gains: NDArray[np.float64]  # (channels,): peak amplitudes in counts


def channels(rng: np.random.Generator, count: int, ring: int, samples: int, full: int) -> Channels:
    """Per channel a baseline of 6-10 % of the range and a fixed pattern of
    about 0.25 % per cell; gains within 15 % of each other."""
    base = full * rng.uniform(0.06, 0.10, size=(count, 1, 1))
    cells = rng.normal(0.0, full * 0.0025, size=(count, ring, samples))
    gains = full * PEAK_LEVEL * rng.uniform(0.85, 1.15, size=count)
    return Channels(np.round(base + cells, 2).astype(np.float32), gains)


def pulse_shape(x: NDArray[np.float32]) -> NDArray[np.float32]:
    """A CR-RC^2 pulse of height 1 at x = 2 (x in shaping times from its start)."""
    x = np.maximum(x, np.float32(0))
    shape = np.exp(np.float32(2) - x)
    shape *= x * x
    shape *= np.float32(0.25)
    return np.asarray(shape, dtype=np.float32)


def events(rng: np.random.Generator, chans: Channels, labels: NDArray[np.int64], full: int) -> NDArray[np.uint16]:
    """Samples (events, channels, windows * S) of events whose windows carry
    `labels` (events, windows), clipped to 0 .. full - 1."""
    count, windows = labels.shape
    n_channels, _, per_window = chans.pedestals.shape
    length = windows * per_window
    # The pedestal of every sample: table[channel, label of its window, position].
    base = chans.pedestals[:, labels].transpose(1, 0, 2, 3).reshape(count, n_channels, length)
    # Computed in 32-bit floats throughout: ample for 16-bit samples, and fast.
    tau = np.float32(max(length / 48, 1.2))
    start = (length * TRIGGER_POSITION + rng.normal(0.0, 1.0, size=(count, 1, 1))
             + rng.normal(0.0, 0.3, size=(count, n_channels, 1))).astype(np.float32)
    amplitude = np.where(rng.random((count, n_channels)) < PEAK_FRACTION,
                         rng.normal(1.0, PEAK_WIDTH, size=(count, n_channels)),
                         rng.exponential(BACKGROUND_MEAN, size=(count, n_channels))) * chans.gains
    amplitude *= rng.random((count, n_channels)) < HIT_PROBABILITY
    t = np.arange(length, dtype=np.float32)
    values = pulse_shape((t - start) / tau)
    values *= amplitude[:, :, None].astype(np.float32)
    values += base
    values += rng.standard_normal((count, n_channels, length), dtype=np.float32) * np.float32(full * NOISE)
    np.rint(values, out=values)
    return np.asarray(np.clip(values, 0, full - 1), dtype=np.uint16)
