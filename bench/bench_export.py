"""Benchmark of export_csv (run by hand): merrowv3 events of 4 channels x 8
windows x 64 samples exported with pedestal correction.

- the default worker pool against RAYON_NUM_THREADS=1, each in a subprocess,
  alternating, best of --rounds; the files must be byte-identical;
- the whole export (reading, parsing, correcting, formatting, writing)
  against polars' DataFrame.write_csv writing the same rows from DataFrames
  already in memory (polars is a benchmark-only dependency: without it this
  comparison is skipped with a message);
- a Python baseline that writes the same files with the csv module from
  vintrel's own parsed dictionaries (byte-identical; slow: --skip-baseline);
- the peak memory of exporting many events against 1000, per worker.

    PYTHONPATH=build/dev python3 bench/bench_export.py [--events 20000] [--rounds 3] [--skip-baseline] [--dir DIR]
"""

from __future__ import annotations

import argparse
import csv
import functools
import os
import shutil
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

# Wall time of the export alone, in a process of its own (the pool's size is
# fixed per process).
TIME_PROBE = """
import sys, time, vintrel
acq = vintrel.Acquisition(sys.argv[1])
indices = list(range(int(sys.argv[2])))
start = time.perf_counter()
vintrel.export_csv(acq, indices, sys.argv[3], True)
print(time.perf_counter() - start)
"""


def probe(script: str, root: Path, events: int, out_dir: Path, workers: int | None = None) -> str:
    out_dir.mkdir()
    env = dict(os.environ)
    env.pop("RAYON_NUM_THREADS", None)
    if workers is not None:
        env["RAYON_NUM_THREADS"] = str(workers)
    result = subprocess.run([sys.executable, "-c", script, str(root), str(events), str(out_dir)],
                            check=True, capture_output=True, text=True, env=env)
    return result.stdout


def same_files(a: Path, b: Path) -> bool:
    names = sorted(f.name for f in a.iterdir())
    return names == sorted(f.name for f in b.iterdir()) and all(
        (a / n).read_bytes() == (b / n).read_bytes() for n in names)


def polars_frames(csv_dir: Path):
    """The rows of vintrel's files as DataFrames, one per file; None without polars."""
    try:
        import polars as pl
    except ImportError:
        return None
    frames = []
    for f in sorted(csv_dir.iterdir()):
        with f.open() as text:
            header = text.readline().strip().split(",")
        schema = {c: pl.Float32 if c.startswith("data") else pl.UInt16 if c.startswith(("windnum", "time"))
                  else pl.UInt32 for c in header}
        frames.append((f.name, pl.read_csv(f, schema=schema)))
    return frames


def polars_write(frames, out_dir: Path) -> float:
    out_dir.mkdir()
    start = time.perf_counter()
    for name, frame in frames:
        frame.write_csv(out_dir / name)
    return time.perf_counter() - start


def compare_pool_and_polars(root: Path, tmp: Path, events: int, rounds: int):
    """Alternates RAYON_NUM_THREADS=1, the default pool and polars' writer."""
    one = default = polars = float("inf")
    frames, identical, size = None, False, 0
    for r in range(rounds):
        one = min(one, float(probe(TIME_PROBE, root, events, tmp / "one", workers=1)))
        default = min(default, float(probe(TIME_PROBE, root, events, tmp / "default")))
        if r == 0:
            assert same_files(tmp / "one", tmp / "default"), "1 and N workers wrote different files"
            size = sum(f.stat().st_size for f in (tmp / "default").iterdir())
            frames = polars_frames(tmp / "default")
        if frames is not None:
            polars = min(polars, polars_write(frames, tmp / "polars"))
            if r == 0:
                identical = same_files(tmp / "polars", tmp / "default")
            shutil.rmtree(tmp / "polars")
        shutil.rmtree(tmp / "one")
        shutil.rmtree(tmp / "default")
    print(f"export_csv of {events} events, {size / 1e6:.0f} MB, best of {rounds}: "
          f"RAYON_NUM_THREADS=1 {one:.2f} s, default pool ({len(os.sched_getaffinity(0))} CPUs) {default:.2f} s, "
          f"speed-up {one / default:.2f}x (files byte-identical)")
    if frames is None:
        print("polars is not installed: the comparison with DataFrame.write_csv is skipped (pip install polars)")
        return
    print(f"polars DataFrame.write_csv of the same rows from memory: {polars:.2f} s "
          f"({'byte-identical' if identical else 'different'} files); "
          f"whole vintrel export / polars write alone: {default / polars:.2f}")


def compare_with_python(root: Path, tmp: Path, events: int, params, table):
    acq = vintrel.Acquisition(root)
    indices = list(range(events))
    native_dir, base_dir = tmp / "native", tmp / "python"
    native_dir.mkdir()
    base_dir.mkdir()
    t0 = time.perf_counter()
    vintrel.export_csv(acq, indices, native_dir, True)
    native = time.perf_counter() - t0
    t0 = time.perf_counter()
    python_export(acq, indices, base_dir, table, params["samples"])
    baseline = time.perf_counter() - t0
    assert same_files(native_dir, base_dir)
    print(f"python csv baseline: {baseline:.2f} s against export_csv {native:.2f} s (files byte-identical); "
          f"speed-up {baseline / native:.1f}x")
    shutil.rmtree(native_dir)
    shutil.rmtree(base_dir)


def compare_peak_memory(root: Path, tmp: Path, events: int):
    """The export holds one 1000-event file per worker at most: the growth of
    the peak over its start, per worker in flight, against one file's."""
    small_start, small = map(int, probe(MEMORY_PROBE, root, 1_000, tmp / "mem-small").split())
    large_start, large = map(int, probe(MEMORY_PROBE, root, events, tmp / "mem-large").split())
    workers = min(len(os.sched_getaffinity(0)), -(-events // CHUNK))
    per_worker = (large - large_start) / workers / (small - small_start)
    print(f"peak RSS exporting 1000 events: {small / 1024:.1f} MiB (start {small_start / 1024:.1f} MiB); "
          f"{events} events: {large / 1024:.1f} MiB (start {large_start / 1024:.1f} MiB, {workers} workers); "
          f"growth per worker / growth for one file: {per_worker:.2f} (limit 1.3)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=20_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--skip-baseline", action="store_true", help="skip the slow Python csv baseline")
    parser.add_argument("--dir", help="where the acquisition and the files go (default: the system's temporary "
                        "directory; /dev/shm leaves out the disk's writeback)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        tmp = Path(tmp)
        root = tmp / "bench"
        params, table = make_acquisition(root, args.events)
        compare_pool_and_polars(root, tmp, args.events, args.rounds)
        if not args.skip_baseline:
            compare_with_python(root, tmp, args.events, params, table)
        compare_peak_memory(root, tmp, args.events)


if __name__ == "__main__":
    main()
