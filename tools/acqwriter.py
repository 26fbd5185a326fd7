"""Writes acquisition directories for the tests, the demo and the
benchmarks; the writer itself is the package's (vintrel._sample.writer)."""

from vintrel._sample.writer import (  # noqa: F401
    SIDE_FILES,
    append_events,
    chunk_bytes,
    write_acquisition,
    write_chunk,
    write_metadata,
    write_side_file,
)
