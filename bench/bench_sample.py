"""Writing sample acquisitions: vintrel.sample of 1000 events for every board
model (the target: well under a second each), and the size written.

    PYTHONPATH=build/dev python bench/bench_sample.py [--events N]
"""

from __future__ import annotations

import argparse
import shutil
import tempfile
import time
from pathlib import Path

import vintrel
from vintrel._sample.boards import models


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        for model in models():
            best = float("inf")
            for k in range(args.repeat):
                root = Path(tmp) / f"{model}{k}"
                start = time.perf_counter()
                vintrel.sample(root, model=model, events=args.events)
                best = min(best, time.perf_counter() - start)
            size = sum(f.stat().st_size for f in (Path(tmp) / f"{model}0").iterdir())
            print(f"{model:16s} {best:6.2f} s  {size / 1e6:6.1f} MB  ({args.events} events, best of {args.repeat})")
            for k in range(args.repeat):
                shutil.rmtree(Path(tmp) / f"{model}{k}")


if __name__ == "__main__":
    main()
