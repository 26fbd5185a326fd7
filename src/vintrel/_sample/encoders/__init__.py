"""Event encoders, one module per board: each turns per-channel samples into
the board's raw event bytes. `sample_params()` and `sample_event(params, rng)`
make single random events (tests, benchmarks, fuzz seeds); `batch_layout` and
`encode_batch` encode whole arrays of events at once (vintrel.sample).

The modules import nothing from the rest of the package, so that the test
tools can load this folder on its own (tools/encoders), without the built
native module."""

from .registry import MODULES, encoder_for

__all__ = ["MODULES", "encoder_for"]
