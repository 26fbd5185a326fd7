"""How many threads the package's work uses: the native worker pool's size."""

from __future__ import annotations

import os

__all__ = ["pool_size"]


def pool_size() -> int:
    """RAYON_NUM_THREADS when it is a positive number, else the CPUs this process may run on."""
    configured = os.environ.get("RAYON_NUM_THREADS", "")
    if configured.isdigit() and int(configured) > 0:
        return int(configured)
    return len(os.sched_getaffinity(0)) or 1
