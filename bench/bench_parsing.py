"""Parsed-event throughput per board, beside the cost of merely creating the
Python objects the event dictionaries hold.

For each model whose sample-data encoder exists, writes 1000 sample events
to a temporary acquisition and times `acq[0:1000]`. The floor, timed in the
same run, is numpy's `tolist()` creating the same numbers of Python floats
(the samples) and ints (window labels and time indices), in nested lists of
the same sizes as the dictionaries' channel lists. Prints vintrel / floor.

    PYTHONPATH=build/dev python3 bench/bench_parsing.py [MODEL ...]
"""

from __future__ import annotations

import random
import sys
import tempfile
from pathlib import Path

import numpy as np

from common import side_by_side  # also puts tools/ on sys.path

import acqwriter  # noqa: E402
import vintrel  # noqa: E402
from encoders import MODULES, encoder_for  # noqa: E402

EVENTS = 1000


def grouped(rng, count_per_list, make):
    """Arrays whose tolist() gives lists of the given lengths: one 2-D array
    per distinct length."""
    by_length = {}
    for length in count_per_list:
        by_length[length] = by_length.get(length, 0) + 1
    return [make(rng, (rows, length)) for length, rows in by_length.items()]


def floor_of(events):
    """A function that makes the Python numbers (and lists) of `events` with
    numpy's tolist(), and the sample count per event."""
    rng = np.random.default_rng(0)
    data_lengths = [len(ch) for e in events for ch in e["data"]]
    int_lengths = [len(ch) for e in events for key in ("window_labels", "time") for ch in e[key]]
    floats = grouped(rng, data_lengths, lambda r, shape: r.random(shape, dtype=np.float64) * 4096)
    ints = grouped(rng, int_lengths, lambda r, shape: r.integers(0, 65536, shape, dtype=np.int64))
    arrays = floats + ints

    def run():
        for a in arrays:
            a.tolist()

    return run, sum(data_lengths) // len(events)


def bench(model: str, root: Path) -> float | None:
    try:
        encoder = encoder_for(model)
    except ImportError:
        return None
    params = encoder.sample_params(model=model)
    rng = random.Random(1234)
    events = [encoder.sample_event(params, rng) for _ in range(EVENTS)]
    acq = vintrel.Acquisition(acqwriter.write_acquisition(root / model, params, events))
    try:
        parsed = acq[0:EVENTS]
    except Exception as exc:  # noqa: BLE001 - a board whose parser is missing or broken
        print(f"{model}: sample events do not parse ({exc}), skipped")
        return float("nan")
    floor, samples = floor_of(parsed)
    label = f"{model}: acq[0:{EVENTS}] ({samples} samples/event)"
    return side_by_side(label, lambda: acq[0:EVENTS], floor, repeat=7)


def main(models) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        for model in models:
            if bench(model, Path(tmp)) is None:
                print(f"{model}: no encoder yet, skipped")


if __name__ == "__main__":
    main(sys.argv[1:] or list(MODULES))
