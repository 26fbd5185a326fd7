"""Window labels shared by the encoders of boards that number their windows
on a ring."""


def random_labels(count: int, ring: int, rng) -> list[int]:
    """`count` consecutive labels on a ring of `ring` windows, from a random start."""
    start = rng.randrange(ring)
    return [(start + k) % ring for k in range(count)]
