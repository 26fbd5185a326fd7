"""Window labels shared by the encoders of boards that number their windows
on a ring."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import random


def random_labels(count: int, ring: int, rng: random.Random) -> list[int]:
    """`count` consecutive labels on a ring of `ring` windows, from a random start."""
    start = rng.randrange(ring)
    return [(start + k) % ring for k in range(count)]
