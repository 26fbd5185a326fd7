"""Benchmark of the Parquet export against the CSV export (run by hand):
merrowv3 events of 4 channels x 8 windows x 64 samples, the same events
both ways, timed alternately in one run (best of --rounds).

- export time and file size: export_parquet(acq, None, file) against
  export_csv(acq, range(n), dir, False);
- reading the result back into a DataFrame with polars and with pandas:
  the Parquet file (one row per event, list columns) against the CSV files
  (one row per sample);
- Acquisition.iterate("16 MB") over the run against one arrays() call:
  time, and the peak memory of each (in subprocesses).

Needs pyarrow, polars and pandas.

    PYTHONPATH=build/dev python3 bench/bench_parquet.py [--events 5000] [--rounds 3] [--pedestals] [--dir DIR]
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))

import acqwriter  # noqa: E402
from encoders import merrowv3  # noqa: E402

import vintrel  # noqa: E402


def make_run(root: Path, events: int) -> vintrel.Acquisition:
    """`events` merrowv3 events (200 distinct ones repeated) and a pedestal
    table of fractional values."""
    params = merrowv3.sample_params()
    distinct = [merrowv3.sample_event(params, random.Random(k)) for k in range(200)]
    chosen = [distinct[k % len(distinct)] for k in range(events)]
    rng = random.Random(1)
    table = {"data": [[[rng.uniform(100, 300) for _ in range(64)] for _ in range(9)] for _ in range(4)]}
    return vintrel.Acquisition(acqwriter.write_acquisition(root, params, chosen, chunk_size=5000,
                                                           side_files={"pedestals_calibration": table}))


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def alternately(rounds: int, ours, theirs) -> tuple[float, float]:
    best = [float("inf"), float("inf")]
    for _ in range(rounds):
        best[0] = min(best[0], timed(ours))
        best[1] = min(best[1], timed(theirs))
    return best[0], best[1]


def show(label: str, ours: float, theirs: float, unit: str = "s") -> None:
    print(f"{label:<58} {ours:9.3f} {unit} against {theirs:9.3f} {unit}   ratio {ours / theirs:5.2f}")


def dir_size(path: Path) -> int:
    return sum(p.stat().st_size for p in path.iterdir())


PEAK_CHILD = r"""
import sys, vintrel
acq = vintrel.Acquisition(sys.argv[1])
if sys.argv[2] == "iterate":
    for batch in acq.iterate("16 MB"):
        batch.data.sum()
else:
    acq.arrays().data.sum()
with open("/proc/self/status") as f:
    print(next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) * 1024)
"""


def peak_of(path: str, how: str) -> int:
    out = subprocess.run([sys.executable, "-c", PEAK_CHILD, path, how], check=True, capture_output=True, text=True)
    return int(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--events", type=int, default=5000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--pedestals", action="store_true", help="both exports subtract the pedestals")
    parser.add_argument("--dir", help="where to put the sample and the outputs (default: a temporary directory)")
    args = parser.parse_args()
    import pandas as pd
    import polars as pl

    base = Path(args.dir or tempfile.mkdtemp(prefix="vintrel-bench-parquet-"))
    try:
        acq = make_run(base / "run", args.events)
        csv_dir, parquet_file = base / "csv", base / "run.parquet"

        def csv_export() -> None:
            shutil.rmtree(csv_dir, ignore_errors=True)
            csv_dir.mkdir()
            vintrel.export_csv(acq, range(len(acq)), csv_dir, args.pedestals)

        def parquet_export() -> None:
            vintrel.export_parquet(acq, None, parquet_file, pedestals_correction=args.pedestals)

        arrays_size = acq.arrays().nbytes
        print(f"{args.events} merrowv3 events, {arrays_size / 2**20:.1f} MiB of arrays"
              f"{', pedestals subtracted' if args.pedestals else ''}; best of {args.rounds}")
        show("export time: export_parquet against export_csv", *alternately(args.rounds, parquet_export, csv_export))
        parquet_bytes, csv_bytes = parquet_file.stat().st_size, dir_size(csv_dir)
        show("file size: Parquet (zstd) against CSV", parquet_bytes / 2**20, csv_bytes / 2**20, "MiB")
        csv_files = sorted(csv_dir.iterdir())
        show("read back with polars: read_parquet against read_csv",
             *alternately(args.rounds, lambda: pl.read_parquet(parquet_file),
                          lambda: pl.concat([pl.read_csv(f) for f in csv_files])))
        show("read back with pandas: read_parquet (Arrow dtypes) against read_csv",
             *alternately(args.rounds, lambda: pd.read_parquet(parquet_file, dtype_backend="pyarrow"),
                          lambda: pd.concat([pd.read_csv(f) for f in csv_files])))

        def iterate_all() -> None:
            for batch in acq.iterate("16 MB"):
                batch.data.sum()

        show("iterate(\"16 MB\") against one arrays() call",
             *alternately(args.rounds, iterate_all, lambda: acq.arrays().data.sum()))
        show("peak memory: iterate(\"16 MB\") against one arrays() call",
             peak_of(acq.path, "iterate") / 2**20, peak_of(acq.path, "arrays") / 2**20, "MiB")
    finally:
        if not args.dir:
            shutil.rmtree(base, ignore_errors=True)


if __name__ == "__main__":
    os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
    main()
