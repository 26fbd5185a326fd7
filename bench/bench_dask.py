"""Benchmark of vintrel.dask.export_csv (run by hand): 4 acquisitions of 5,000
merrowv3 events (4 channels x 8 windows x 64 samples) exported by a local
cluster of one worker process against one of two (one thread each), both
clusters up at once and timed alternately, best of --rounds; the files of the
two must be byte-identical. Needs vintrel[dask].

    PYTHONPATH=build/dev python3 bench/bench_dask.py [--events 5000] [--acquisitions 4] [--rounds 3] [--dir DIR]
"""

from __future__ import annotations

import argparse
import hashlib
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

import distributed

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import acqwriter  # noqa: E402
from encoders import merrowv3  # noqa: E402

import vintrel.dask  # noqa: E402


def write_acquisitions(root: Path, count: int, events: int) -> list[str]:
    params = merrowv3.sample_params()
    rng = random.Random(1)
    sample = [merrowv3.sample_event(params, rng) for _ in range(200)]
    return [str(acqwriter.write_acquisition(root / f"run{a}", params, [sample[(a + i) % 200] for i in range(events)],
                                            chunk_size=2000)) for a in range(count)]


def export(client: distributed.Client, paths: list[str], out: Path) -> tuple[float, dict[str, str]]:
    """Seconds taken, and a digest of each file written (by path below `out`)."""
    shutil.rmtree(out, ignore_errors=True)
    job = vintrel.dask.export_csv(paths, out)
    start = time.perf_counter()
    files = client.compute(job).result()
    seconds = time.perf_counter() - start
    return seconds, {str(Path(f.path).relative_to(out)): hashlib.sha256(Path(f.path).read_bytes()).hexdigest()
                     for f in files}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=5000)
    parser.add_argument("--acquisitions", type=int, default=4)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--dir", type=Path, default=None)
    args = parser.parse_args()
    root = Path(tempfile.mkdtemp(prefix="vintrel-bench-dask-", dir=args.dir))
    try:
        paths = write_acquisitions(root / "in", args.acquisitions, args.events)
        options = dict(processes=True, threads_per_worker=1, host="127.0.0.1", dashboard_address=None)
        with distributed.LocalCluster(n_workers=1, **options) as one, distributed.Client(one) as c1, \
                distributed.LocalCluster(n_workers=2, **options) as two, distributed.Client(two) as c2:
            best = {1: float("inf"), 2: float("inf")}
            digests = {}
            for _ in range(args.rounds):
                for workers, client in ((1, c1), (2, c2)):
                    seconds, digests[workers] = export(client, paths, root / f"out{workers}")
                    best[workers] = min(best[workers], seconds)
            assert digests[1] == digests[2], "the two clusters wrote different files"
        size = sum(p.stat().st_size for p in (root / "out2").rglob("*.csv"))
        print(f"{args.acquisitions} acquisitions x {args.events} events: {len(digests[2])} files, {size / 1e6:.0f} MB")
        print(f"one worker {best[1]:.2f} s   two workers {best[2]:.2f} s   speed-up {best[1] / best[2]:.2f}x")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
