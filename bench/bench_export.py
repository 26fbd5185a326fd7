"""Benchmark of export_csv (run by hand): merrowv3 events of 4 channels x 8
windows x 64 samples exported with pedestal correction, beside a Python
baseline that writes the same files with the csv module from vintrel's own
parsed dictionaries (the files are checked to be byte-identical), and the
peak memory of exporting many events against few.

    PYTHONPATH=build/dev python3 bench/bench_export.py [--events 20000]
"""

from __future__ import annotations

import argparse
import csv
import functools
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import acqwriter  # noqa: E402
from encoders import merrowv3  # noqa: E402

import vintrel  # noqa: E402

CHUNK = 1000


@functools.lru_cache(maxsize=None)
def cell(value: float) -> str:
    return "" if value != value else np.format_float_positional(np.float32(value), unique=True, trim="-")


def merge_labels(label_lists):
    lists = [list(s) for s in label_lists if s]
    merged = []
    while lists:
        wrapping = [s for s in lists if s[-1] < s[0]]
        rising = [s for s in lists if s[0] < s[-1]]
        offers = [s[0] for s in wrapping if s[0] not in rising[0]] if wrapping and rising else []
        low = min(offers or [s[0] for s in lists])
        if not merged or merged[-1] != low:
            merged.append(low)
        lists = [s[1:] if s[0] == low else s for s in lists]
        lists = [s for s in lists if s]
    return merged


def python_export(acq, indices, out_dir: Path, table, samples):
    """The same files, written from acq[...] dictionaries with the csv module."""
    ped = [[np.asarray(w, dtype=np.float32) for w in ch] for ch in table]
    name = Path(acq.path).name
    for k, start in enumerate(range(0, len(indices), CHUNK)):
        events = []
        for d in acq[indices[start]:indices[min(start + CHUNK, len(indices)) - 1] + 1]:
            data = []
            for c, (values, labels) in enumerate(zip(d["data"], d["window_labels"])):
                v = np.asarray(values, dtype=np.float32)
                if len(v) and labels:
                    v = v - np.concatenate([ped[c][label] for label in labels])[:len(v)]
                data.append(v.tolist())
            events.append((d, data))
        chans = sorted({c for _, data in events for c, v in enumerate(data) if v})
        with open(out_dir / f"{name} (chunk {k}).csv", "w", newline="") as f:
            w = csv.writer(f, lineterminator="\n")
            header = ["acq_num", "evt_num"]
            for c in chans:
                header += [f"windnum_ch{c}", f"data_ch{c}", f"time_ch{c}"]
            w.writerow(header)
            for i, (d, data) in enumerate(events):
                merged = merge_labels(d["window_labels"])
                rows = [[0, i] + [""] * (3 * len(chans)) for _ in range(samples * len(merged))]
                for slot, c in enumerate(chans):
                    labels, times, values = d["window_labels"][c], d["time"][c], data[c]
                    if not values:
                        continue
                    base = merged.index(labels[0]) * samples
                    if base + len(values) > len(rows):
                        print(f"Bad channel {c} at Event {i}")
                        continue
                    col = 2 + 3 * slot
                    for t, v in enumerate(values):
                        row = rows[base + t]
                        row[col] = labels[t // samples]
                        row[col + 1] = cell(v)
                        row[col + 2] = times[t]
                w.writerows(rows)


def make_acquisition(root: Path, events: int):
    """`events` distinct events (random samples; real acquisitions do not
    repeat events, and the baseline's number cache must not profit from it)."""
    params = merrowv3.sample_params()
    windows, samples = params["windows"] - 1, params["samples"]
    zeros = [[[0] * samples for _ in range(windows)] for _ in range(4)]
    templates = [np.frombuffer(merrowv3.encode_event(zeros, [(s + k) % params["windows"] for k in range(windows)]),
                               dtype=">u2") for s in range(params["windows"])]
    # Sample words: after 3 header words, each window is 4 x (1 + samples) words and a window header.
    per_window = 4 * (1 + samples) + 1
    at = np.array([3 + w * per_window + c * (1 + samples) + 1 + j
                   for w in range(windows) for c in range(4) for j in range(samples)])
    rng = np.random.default_rng(1)
    out = []
    for i in range(events):
        words = templates[i % len(templates)].copy()
        words[at] = rng.integers(0, 0x1000, size=len(at)) << 1
        out.append(words.tobytes())
    table = rng.normal(2048, 100, size=(4, params["windows"], samples)).astype(np.float32)
    acqwriter.write_acquisition(root, params, out, side_files={"pedestals_calibration": {"data": table.tolist()}})
    return params, table.tolist()


# Peak RSS of this process's own memory (VmHWM: ru_maxrss would carry the
# launching process's peak over exec).
MEMORY_PROBE = """
import sys, vintrel
def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
acq = vintrel.Acquisition(sys.argv[1])
indices = list(range(int(sys.argv[2])))
before = peak()
vintrel.export_csv(acq, indices, sys.argv[3], True)
print(before, peak())
"""


def peak_memory(root: Path, events: int, out_dir: Path):
    out_dir.mkdir()
    result = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(root), str(events), str(out_dir)],
                            check=True, capture_output=True, text=True)
    before, after = map(int, result.stdout.split())
    return before, after  # KiB


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=20_000)
    parser.add_argument("--skip-baseline", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        root = tmp / "bench"
        params, table = make_acquisition(root, args.events)
        acq = vintrel.Acquisition(root)
        indices = list(range(args.events))

        native_dir = tmp / "native"
        native_dir.mkdir()
        t0 = time.perf_counter()
        vintrel.export_csv(acq, indices, native_dir, True)
        native = time.perf_counter() - t0
        size = sum(f.stat().st_size for f in native_dir.iterdir())
        print(f"export_csv: {args.events} events, {size / 1e6:.0f} MB in {native:.2f} s")

        if not args.skip_baseline:
            base_dir = tmp / "python"
            base_dir.mkdir()
            t0 = time.perf_counter()
            python_export(acq, indices, base_dir, table, params["samples"])
            baseline = time.perf_counter() - t0
            names = sorted(f.name for f in native_dir.iterdir())
            assert names == sorted(f.name for f in base_dir.iterdir())
            for n in names:
                assert (native_dir / n).read_bytes() == (base_dir / n).read_bytes(), n
            print(f"python csv baseline: {baseline:.2f} s (files byte-identical); "
                  f"speed-up {baseline / native:.1f}x")
        for f in native_dir.iterdir():
            f.unlink()

        small = peak_memory(root, 1_000, tmp / "mem-small")
        large = peak_memory(root, args.events, tmp / "mem-large")
        print(f"peak RSS exporting 1000 events: {small[1] / 1024:.1f} MiB (start {small[0] / 1024:.1f} MiB); "
              f"{args.events} events: {large[1] / 1024:.1f} MiB (start {large[0] / 1024:.1f} MiB); "
              f"ratio {large[1] / small[1]:.2f}")


if __name__ == "__main__":
    main()
