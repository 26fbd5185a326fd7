"""Model string -> encoder module of its board."""

from __future__ import annotations

import importlib
from types import ModuleType

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


def encoder_for(model: str) -> ModuleType:
    """The encoder module of a model string (KeyError for an unknown one)."""
    return importlib.import_module(f"{__package__}.{MODULES[model]}")
