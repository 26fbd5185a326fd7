"""The board of each model string as a sample shows it: its parameters (the
encoders' sample geometry) and the resolution of its samples."""

from __future__ import annotations

from types import ModuleType
from typing import Any, NamedTuple

from .encoders import MODULES, encoder_for

# Sample bits of each encoder module's board.
ADC_BITS = {"merrowv3": 12, "tesslav3": 12, "tesslav3s": 13, "fennikoc": 12, "ostra96": 10, "grenvikv1": 14,
            "pikorv1": 12, "zemil16": 10}
# Geometry beyond the encoders' own sample parameters: ostra96's are four
# windows of 5 samples, too short to show a pulse.
GEOMETRY: dict[str, dict[str, Any]] = {"ostra96": {"windows": 4, "samples": 16}}


class Board(NamedTuple):
    """A model's sample board: its encoder module, sample parameters and
    bits per sample, and the window layout of the events it encodes."""

    encoder: ModuleType
    params: dict[str, Any]
    bits: int
    windows: int  # windows per channel in one event
    ring: int  # window labels run 0 .. ring - 1

    @property
    def samples_per_channel(self) -> int:
        """Samples of one channel in one event."""
        return self.windows * int(self.params["samples"])


def models() -> list[str]:
    """Every model string a sample can be written for, sorted."""
    return sorted(MODULES)


def board(model: str) -> Board:
    """The board of `model`; KeyError for a model string no board has."""
    module = MODULES[model]
    encoder = encoder_for(model)
    params = encoder.sample_params(model=model, **GEOMETRY.get(module, {}))
    windows, ring = encoder.batch_layout(params)
    return Board(encoder, params, ADC_BITS[module], int(windows), int(ring))
