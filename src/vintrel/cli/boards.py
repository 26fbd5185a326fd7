"""The board (parser family) that reads each model string.

This mirrors the reader's own model table: the strings are compared whole
and case-sensitively, and a model that is not listed cannot be parsed or
exported."""

from __future__ import annotations

from typing import Any

BOARDS: dict[str, str] = {
    "merrowv3": "merrowv3",
    "fennikv2": "fennikv2",
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


def board_of(model: Any) -> str | None:
    """The board of a model string, or None for anything the reader refuses."""
    return BOARDS.get(model) if isinstance(model, str) else None
