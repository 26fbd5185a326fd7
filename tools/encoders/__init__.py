"""Event encoders, one module per board: each turns per-channel samples into
the board's raw event bytes, and offers `sample_params()` and
`sample_event(params, rng)` for demos, tests and benchmarks."""

import importlib

# Model string -> encoder module of its board.
MODULES = {
    "merrowv3": "merrowv3",
    "fennikv2": "tesslav3",
    "tesslav3": "tesslav3",
    "tesslav3s": "tesslav3s",
    "fennikoc_fennik": "fennikoc",
    "fennikoc_tessla": "fennikoc",
    "ostra96": "ostra96",
    "grenvik": "grenvikv1",
    "pikorv1_evalr2": "pikorv1",
    "pikorv2_evalr1": "pikorv1",
    "pikorv2_evalr2": "pikorv1",
    "pikorv2_eval": "pikorv1",
    "zemil16": "zemil16",
}


def encoder_for(model: str):
    """The encoder module of a model string."""
    return importlib.import_module(f"encoders.{MODULES[model]}")
