"""`vintrel ls ROOT`: the acquisitions directly inside a directory."""

from __future__ import annotations

import argparse
import os
from typing import Any

import vintrel

from .common import CommandError, exception_text, params_of, plural


def add_parser(subparsers: Any) -> None:
    """Adds the `ls` subcommand."""
    parser = subparsers.add_parser(
        "ls", help="list the acquisitions inside a directory",
        description="List the acquisitions directly inside ROOT, one line each with name, model, chunks and "
                    "events, sorted by name (by code point, so the output is stable). Directories that are not "
                    "acquisitions, or whose metadata cannot be read, are not listed.")
    parser.add_argument("root", help="directory holding acquisition directories")
    parser.set_defaults(run=run)


def row(acq: vintrel.Acquisition) -> list[str]:
    """Name, model, chunks and events; an acquisition whose chunks cannot be
    counted is listed all the same, with the reason."""
    model = params_of(acq).get("model")
    row = [acq.name, model if isinstance(model, str) else "?"]
    try:
        chunks = plural(acq.chunk_count, "chunk")
    except Exception as error:
        return row + ["?", f"unreadable: {exception_text(error)}"]
    try:
        events = plural(len(acq), "event")
    except Exception as error:
        events = f"events unreadable ({exception_text(error)})"
    return row + [chunks, events]


def run(args: argparse.Namespace) -> int:
    """Lists the acquisitions directly inside the root, sorted by name."""
    root = args.root
    try:
        os.listdir(root)  # a directory that cannot be listed lists nothing: say why
    except OSError as error:
        raise CommandError(root, exception_text(error)) from None
    rows = [row(acq) for acq in sorted(vintrel.list_acquisitions(root), key=lambda acq: acq.name)]
    widths = [max((len(r[i]) for r in rows), default=0) for i in range(3)]
    for r in rows:
        print("  ".join(f"{text:<{width}}" for text, width in zip(r, widths)) + "  " + r[3])
    return 0
