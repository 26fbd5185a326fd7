"""Shared helpers for the benchmarks: timing side by side and sample data."""

from __future__ import annotations

import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))


def best_of(fn, repeat: int = 7, number: int = 1) -> float:
    """Best wall time of `number` calls, over `repeat` rounds, in seconds per call."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        best = min(best, (time.perf_counter() - start) / number)
    return best


def side_by_side(label: str, ours, baseline, repeat: int = 7, number: int = 1) -> float:
    """Times both alternately (so machine noise hits both alike) and prints the ratio ours/baseline."""
    t_ours, t_base = float("inf"), float("inf")
    for _ in range(repeat):
        t_ours = min(t_ours, best_of(ours, 1, number))
        t_base = min(t_base, best_of(baseline, 1, number))
    ratio = t_ours / t_base
    print(f"{label:<48} vintrel {t_ours * 1e6:10.1f} us   baseline {t_base * 1e6:10.1f} us   ratio {ratio:5.2f}")
    return ratio
