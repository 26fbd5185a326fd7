"""Latency and idle cost of Acquisition.follow().

A writer process appends events at a fixed rate (default 2,000 events/s),
data first and then the index entry, starting a new chunk every CHUNK events.
It notes the monotonic clock when the write() of each index entry returns; the
reader notes it when follow() yields the event. Both clocks are the system's
CLOCK_MONOTONIC, so the difference is the latency. Then follow() is left idle
on a run that does not grow, and the CPU time it takes is measured. Each
measure is made with notifications and on the polling path, one after the
other in the same run.

    python bench/bench_follow.py [--seconds 5] [--rate 2000]
"""

from __future__ import annotations

import argparse
import multiprocessing
import os
import random
import statistics
import struct
import tempfile
import time
from pathlib import Path

import common  # noqa: F401  (puts tools/ on the path)

import acqwriter
import vintrel
from encoders import merrowv3

PARAMS = merrowv3.sample_params(channels=8, windows=4, samples=32)
CHUNK = 1000


def write_run(root: Path, events: list[bytes], rate: float, sender) -> None:
    """Appends `events` at `rate` per second and sends the time each index entry was written."""
    stamps = []
    start = time.monotonic()
    data_fd = index_fd = -1
    offset = 0
    for k, event in enumerate(events):
        if k % CHUNK == 0:
            for fd in (data_fd, index_fd):
                if fd >= 0:
                    os.close(fd)
            n, offset = k // CHUNK, 0
            flags = os.O_WRONLY | os.O_CREAT | os.O_APPEND
            data_fd = os.open(root / f"{n}.bin", flags, 0o644)
            index_fd = os.open(root / f"{n}.idx", flags, 0o644)
        delay = start + k / rate - time.monotonic()
        if delay > 0:
            time.sleep(delay)
        os.write(data_fd, event)
        os.write(index_fd, struct.pack("<II", offset, len(event)))
        stamps.append(time.monotonic_ns())
        offset += len(event)
    sender.send(stamps)


def latencies(root: Path, count: int, rate: float) -> tuple[list[float], float]:
    """Milliseconds from each index entry's write to follow() yielding the
    event, and the reader's CPU seconds per second of the run."""
    pool = [merrowv3.sample_event(PARAMS, random.Random(k)) for k in range(50)]
    acqwriter.write_acquisition(root, PARAMS)
    acq = vintrel.Acquisition(root)
    acq.arrays([])  # the first call imports numpy: a cost paid once per process, not per event
    ctx = multiprocessing.get_context("fork")
    receiver, sender = ctx.Pipe(duplex=False)
    seen: dict[int, int] = {}
    batches = acq.follow(0, timeout=2.0, poll=0.5)
    writer = ctx.Process(target=write_run, args=(root, [pool[k % 50] for k in range(count)], rate, sender))
    cpu, wall = time.process_time(), time.monotonic()
    writer.start()
    for batch in batches:
        now = time.monotonic_ns()
        for index in batch.index.tolist():
            seen[index] = now
        if len(seen) == count:
            break
    cpu, wall = time.process_time() - cpu, time.monotonic() - wall
    stamps = receiver.recv()
    writer.join()
    assert sorted(seen) == list(range(count)), "events missing"
    return [(seen[k] - stamps[k]) / 1e6 for k in range(count)], cpu / wall


def idle_cpu(root: Path, seconds: float) -> float:
    """The share of a core that follow() takes on a run that does not grow."""
    acq = vintrel.Acquisition(root)
    cpu = time.process_time()
    for _ in acq.follow(timeout=seconds, poll=0.5):
        pass
    return (time.process_time() - cpu) / seconds


def percentile(values: list[float], share: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=5.0, help="length of the writing run")
    parser.add_argument("--rate", type=float, default=2000.0, help="events per second")
    args = parser.parse_args()
    count = int(args.seconds * args.rate)
    print(f"writer: {count} events at {args.rate:.0f}/s, a new chunk every {CHUNK}; "
          f"{os.cpu_count()} CPUs, load average {os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory() as tmp:
        for mode in ("notifications", "polling (0.5 s)"):
            if mode.startswith("polling"):
                os.environ["VINTREL_FOLLOW_POLLING"] = "1"
            ms, busy = latencies(Path(tmp) / mode.split()[0], count, args.rate)
            idle = idle_cpu(Path(tmp) / mode.split()[0], args.seconds)
            print(f"{mode:<18} latency median {statistics.median(ms):7.2f} ms  p99 {percentile(ms, 0.99):7.2f} ms  "
                  f"max {max(ms):7.2f} ms   reader CPU while writing {100 * busy:5.1f} %   idle CPU "
                  f"{100 * idle:5.2f} % of a core")
        os.environ.pop("VINTREL_FOLLOW_POLLING", None)


if __name__ == "__main__":
    main()
