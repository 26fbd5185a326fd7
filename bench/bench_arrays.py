"""Benchmark of Acquisition.arrays() (run by hand), timed side by side in one run:

- merrowv3, 4 channels x 8 windows x 64 samples, 20,000 events: arrays()
  against acq[0:20000] (dictionaries), against a hand-written numpy decoder
  that is given the fixed layout (reads 0.bin whole, takes the sample words
  and channel headers with one fancy-index gather each, masks and converts;
  it makes the same data, window_labels and time arrays, checked equal to
  ours), and against a plain read of the same bytes from the page cache;
  throughput as MB/s of raw event bytes; and the peak memory of one call
  against the size of the arrays it returns;
- every other model string: arrays() against the same slice of dictionaries;
- channel selection: arrays(channels=[1]) (one channel of four) against
  arrays(), and against arrays() sliced to that channel afterwards;
- every core: arrays() in child processes with RAYON_NUM_THREADS = 1, 2, ...
  up to the CPUs of this process, taken in turns, each best of its rounds.

    PYTHONPATH=build/release python3 bench/bench_arrays.py [--events 20000] [--others 1000]
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

from bench_export import make_acquisition
from common import best_of  # also puts tools/ on sys.path

import acqwriter  # noqa: E402
import vintrel  # noqa: E402
from encoders import MODULES, encoder_for  # noqa: E402


def side_by_side(label: str, ours, baseline, repeat: int) -> tuple[float, float]:
    """Best times of both, taken alternately; prints the speed-up baseline / ours."""
    t_ours, t_base = float("inf"), float("inf")
    for _ in range(repeat):
        t_ours = min(t_ours, best_of(ours, 1))
        t_base = min(t_base, best_of(baseline, 1))
    print(f"{label:<58} arrays {t_ours * 1e3:8.1f} ms   baseline {t_base * 1e3:8.1f} ms   "
          f"speed-up {t_base / t_ours:6.1f}x")
    return t_ours, t_base


def numpy_decoder(root: Path, events: int, params: dict):
    """merrowv3 events of exactly 4 channels x 8 windows x 64 samples in the
    standard framing, the layout given: 3 event header words, per window 4
    blocks of a channel header and 64 sample words, then a window header word,
    and 1 footer word."""
    channels, windows, samples = params["channels"], params["windows"] - 1, params["samples"]
    block, window = 1 + samples, channels * (1 + samples) + 1
    words = np.frombuffer((root / "0.bin").read_bytes(), dtype=">u2").reshape(events, -1)
    c, w, s = np.meshgrid(np.arange(channels), np.arange(windows), np.arange(samples), indexing="ij")
    headers = (3 + w * window + c * block)[:, :, 0]
    data = ((words[:, (headers[:, :, None] + 1 + s[:, :, :]).ravel()] & 0x1FFF) >> 1).astype(np.float32)
    labels = ((words[:, headers.ravel()] & 0x03FE) >> 1).astype(np.uint16).reshape(events, channels, windows)
    first = labels[:, :, :1]
    rel = np.where(labels >= first, labels - first, labels + params["windows"] - first).astype(np.uint16)
    time = (rel[:, :, :, None] * samples + np.arange(samples, dtype=np.uint16)).astype(np.uint16)
    return (data.reshape(events, channels, windows * samples), labels,
            time.reshape(events, channels, windows * samples))


# Peak resident memory of one call, in a fresh process (VmHWM of this process only).
MEMORY_PROBE = """
import sys, vintrel, vintrel._columnar
def peak():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
acq = vintrel.Acquisition(sys.argv[1])
before = peak()
arrays = acq.arrays()
sizes = [a.nbytes for a in (arrays.index, arrays.channel_offsets, arrays.data, arrays.data_offsets, arrays.time,
                            arrays.time_offsets, arrays.window_labels, arrays.window_label_offsets)]
print(before, peak(), sum(sizes))
"""


def merrowv3_figures(tmp: Path, events: int) -> None:
    root = tmp / "merrowv3"
    params, _ = make_acquisition(root, events)
    acq = vintrel.Acquisition(root)
    raw_bytes = (root / "0.bin").stat().st_size
    arrays = acq.arrays()
    dense = arrays.to_numpy()
    for ours, theirs in zip((dense["data"], dense["window_labels"], dense["time"]), numpy_decoder(root, events, params)):
        assert np.array_equal(ours, theirs)
    print(f"merrowv3: {events} events of 4 x 8 x 64 samples, {raw_bytes / 1e6:.1f} MB of raw events; "
          f"numpy decoder output equals arrays()")

    t_arrays, t_slice = side_by_side(f"acq.arrays() vs acq[0:{events}]", acq.arrays, lambda: acq[0:events], 5)
    side_by_side("acq.arrays() vs numpy decoder", acq.arrays, lambda: numpy_decoder(root, events, params), 7)
    side_by_side("acq.arrays(pedestals_correction=True) vs numpy decoder",
                 lambda: acq.arrays(pedestals_correction=True), lambda: numpy_decoder(root, events, params), 7)
    t_read = best_of(lambda: (root / "0.bin").read_bytes(), 7)
    print(f"throughput: arrays() {raw_bytes / t_arrays / 1e6:.0f} MB/s of raw events; plain read of 0.bin from "
          f"the page cache {raw_bytes / t_read / 1e6:.0f} MB/s ({t_read * 1e3:.1f} ms); "
          f"acq[0:{events}] {raw_bytes / t_slice / 1e6:.0f} MB/s")

    result = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(root)], check=True, capture_output=True, text=True)
    before, after, returned = map(int, result.stdout.split())
    print(f"peak memory of arrays(): {(after - before) / 2**20:.1f} MiB above the start for "
          f"{returned / 2**20:.1f} MiB of arrays returned: {(after - before) / returned:.2f}x")


def channel_figures(tmp: Path) -> None:
    acq = vintrel.Acquisition(tmp / "merrowv3")
    one = acq.arrays(channels=[1]).to_numpy()["data"]
    assert np.array_equal(one, acq.arrays().to_numpy()["data"][:, [1]])
    t_one, t_all = side_by_side("acq.arrays(channels=[1]) vs acq.arrays() (one channel of four)",
                                lambda: acq.arrays(channels=[1]), acq.arrays, 7)
    # CPU time of the process (every thread) as well: it varies far less than wall time on a shared machine.
    c_one, c_all = float("inf"), float("inf")
    for _ in range(7):
        c_one = min(c_one, cpu_time(lambda: acq.arrays(channels=[1])))
        c_all = min(c_all, cpu_time(acq.arrays))
    print(f"one channel of four: {t_one / t_all:.2f}x the wall time of all four, {c_one / c_all:.2f}x their CPU time "
          f"({c_one * 1e3:.1f} ms against {c_all * 1e3:.1f} ms)")


def cpu_time(fn) -> float:
    start = time.process_time()
    fn()
    return time.process_time() - start


# Best wall time of arrays() over `rounds` calls, in a process whose pool has
# RAYON_NUM_THREADS threads; and over `rounds` more calls, the CPU time of the
# whole process and that of its busiest thread (from /proc, in clock ticks):
# on a machine with a free CPU per thread, a call takes about its busiest
# thread's time, whatever else a shared machine runs meanwhile.
POOL_PROBE = """
import os, sys, time, vintrel
def thread_times():
    times = {}
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        times[tid] = (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return times
acq = vintrel.Acquisition(sys.argv[1])
acq.arrays()
rounds = int(sys.argv[2])
best = float("inf")
for _ in range(rounds):
    start = time.perf_counter()
    acq.arrays()
    best = min(best, time.perf_counter() - start)
before = thread_times()
for _ in range(rounds):
    acq.arrays()
after = thread_times()
spent = [after[t] - before.get(t, 0) for t in after]
print(best, sum(spent) / rounds, max(spent) / rounds)
"""


def pool_figures(tmp: Path, turns: int = 3) -> None:
    root = tmp / "merrowv3"
    sizes = list(range(1, len(os.sched_getaffinity(0)) + 1))
    if sizes == [1]:
        sizes = [1, 2]  # still shows the cost of the pool on one CPU
    best = {n: [float("inf")] * 3 for n in sizes}
    for _ in range(turns):
        for n in sizes:
            result = subprocess.run([sys.executable, "-c", POOL_PROBE, str(root), "10"], check=True,
                                    capture_output=True, text=True, env={**os.environ, "RAYON_NUM_THREADS": str(n)})
            best[n] = [min(a, b) for a, b in zip(best[n], map(float, result.stdout.split()))]
    for n in sizes:
        wall, cpu, busiest = best[n]
        print(f"arrays() with RAYON_NUM_THREADS={n}: wall {wall * 1e3:7.1f} ms (speed-up {best[1][0] / wall:4.2f}x); "
              f"CPU {cpu * 1e3:7.1f} ms ({cpu / best[1][1]:4.2f}x that of 1), busiest thread {busiest * 1e3:7.1f} ms "
              f"(speed-up on free CPUs: {best[1][1] / busiest:4.2f}x)")


def other_models(tmp: Path, events: int) -> None:
    for model in MODULES:
        if model == "merrowv3":
            continue
        encoder = encoder_for(model)
        params = encoder.sample_params(model=model)
        rng = random.Random(model)
        # Distinct events would take minutes to encode in Python; 50 repeated do as well here.
        distinct = [encoder.sample_event(params, rng) for _ in range(50)]
        root = acqwriter.write_acquisition(tmp / model, params, [distinct[i % 50] for i in range(events)])
        acq = vintrel.Acquisition(root)
        arrays = acq.arrays()
        assert len(arrays) == events and not arrays.errors, model
        side_by_side(f"{model}: acq.arrays() vs acq[0:{events}] ({len(arrays.data) // events} samples/event)",
                     acq.arrays, lambda: acq[0:events], 5)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--events", type=int, default=20_000)
    parser.add_argument("--others", type=int, default=1_000, help="events per model for the other boards")
    parser.add_argument("--only", choices=["channels", "pool"], help="only these figures (merrowv3 events)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        if args.only:
            make_acquisition(Path(tmp) / "merrowv3", args.events)
            (channel_figures if args.only == "channels" else pool_figures)(Path(tmp))
            return
        merrowv3_figures(Path(tmp), args.events)
        channel_figures(Path(tmp))
        pool_figures(Path(tmp))
        other_models(Path(tmp), args.others)


if __name__ == "__main__":
    main()
