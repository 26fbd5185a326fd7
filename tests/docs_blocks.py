"""Fenced code blocks of the Markdown pages (the documentation and the README)."""

from __future__ import annotations

import re
from pathlib import Path
from typing import NamedTuple

ROOT = Path(__file__).resolve().parent.parent
FENCE = re.compile(r"^```(\w*)[^\n]*\n(.*?)^```[ \t]*$", re.MULTILINE | re.DOTALL)


class Block(NamedTuple):
    language: str
    text: str
    line: int  # the block's first line in its file, counted from 1


def blocks(path: Path) -> list[Block]:
    text = path.read_text(encoding="utf-8")
    return [Block(m.group(1), m.group(2), text.count("\n", 0, m.start(2)) + 1) for m in FENCE.finditer(text)]


def script(path: Path, language: str = "python") -> str:
    """The page's blocks of `language` as one script whose line numbers are
    the page's, so that a traceback points into the page."""
    lines: list[str] = []
    for block in blocks(path):
        if block.language != language:
            continue
        lines += [""] * (block.line - 1 - len(lines))
        lines += block.text.splitlines()
    return "\n".join(lines) + "\n"


def doc_pages() -> list[Path]:
    docs = ROOT / "docs"
    return sorted(p for p in docs.rglob("*.md") if "_incoming" not in p.relative_to(docs).parts)
