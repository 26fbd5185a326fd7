"""How an Acquisition shows itself: ``repr()`` and the table notebooks show.

Both are cheap: the chunk and event counts come from the chunk list the
reader remembers (checked against the directory in constant time, scanned
again only when something changed), and side files are only looked for, not
read. Neither raises for an acquisition that cannot be read: it says so (only
running out of memory is raised).
"""

from __future__ import annotations

import html
import os
from typing import Any

import vintrel

SIDE_FILES = ("readout_metadata", "pedestals_calibration", "timing_calibration", "adc2mv_calibration")
# Characters of one parameter value shown in the table.
VALUE_CHARS = 80
# Parameters shown in the table; the rest are counted.
PARAMS_SHOWN = 20


def _plural(n: int, word: str) -> str:
    """"1 event", "2,500 events"."""
    return f"{n:,} {word}" if n == 1 else f"{n:,} {word}s"


# No lambdas here: making a function object fails when memory runs out, and
# Python 3.12 can crash on that, where these must raise MemoryError.
def _attribute(acq: vintrel.Acquisition, name: str, fallback: Any = None) -> Any:
    """``acq.<name>``, or `fallback` when reading it raises (a PanicException
    included: a name or path that is not valid UTF-8). Running out of memory
    is no answer: MemoryError passes on."""
    try:
        return getattr(acq, name)
    except MemoryError:
        raise
    except (Exception, vintrel.PanicException):
        return fallback


def _path(acq: vintrel.Acquisition) -> Any:
    """The path, else the one pickling carries (os.fsdecode's text), else "?"."""
    path = _attribute(acq, "path")
    if path:
        return path
    try:
        return acq.__reduce__()[1][0]
    except MemoryError:
        raise
    except (Exception, vintrel.PanicException):
        return "?"


def _model(acq: vintrel.Acquisition) -> Any:
    """The board model named in params, or None when there is none."""
    params = _attribute(acq, "params", {})
    return params.get("model") if isinstance(params, dict) else None


def _counts(acq: vintrel.Acquisition) -> tuple[int, int] | str:
    """(chunks, events), or why they cannot be had."""
    try:
        return acq.chunk_count, len(acq)
    except MemoryError:
        raise
    except (Exception, vintrel.PanicException) as error:
        return f"{type(error).__name__}: {error}"


def acquisition_repr(acq: vintrel.Acquisition) -> str:
    """``<vintrel.Acquisition 'run7' merrowv3, 3 chunks, 2,500 events at '/data/run7'>``."""
    name = _attribute(acq, "name", "?")
    # A path that is not UTF-8 is shown as os.fsdecode gives it.
    path = _path(acq)
    model = _model(acq)
    model_text = model if isinstance(model, str) and model.isprintable() and " " not in model else repr(model)
    counts = _counts(acq)
    if isinstance(counts, str):
        return f"<vintrel.Acquisition {name!r} {model_text} at {path!r}: unreadable ({counts})>"
    chunks, events = counts
    return (f"<vintrel.Acquisition {name!r} {model_text}, {_plural(chunks, 'chunk')}, {_plural(events, 'event')} "
            f"at {path!r}>")


def _value_text(value: Any) -> str:
    """A parameter value as text, cut to VALUE_CHARS characters."""
    text = value if isinstance(value, str) else repr(value)
    return text if len(text) <= VALUE_CHARS else text[:VALUE_CHARS] + " ..."


def _rows(acq: vintrel.Acquisition) -> list[tuple[str, str]]:
    """(label, text) rows of the table, texts not yet escaped."""
    from .cli.boards import board_of  # the command line's package, only for notebooks

    model = _model(acq)
    board = board_of(model)
    counts = _counts(acq)
    rows = [("model", _value_text(model)),
            ("board", board or "unsupported model: events cannot be parsed or exported")]
    if isinstance(counts, str):
        rows.append(("events", f"unreadable ({counts})"))
    else:
        rows += [("chunks", f"{counts[0]:,}"), ("events", f"{counts[1]:,}")]
    params = _attribute(acq, "params", {})
    items = list(params.items()) if isinstance(params, dict) else []
    params_text = "; ".join(f"{key}: {_value_text(value)}" for key, value in items[:PARAMS_SHOWN])
    if len(items) > PARAMS_SHOWN:
        params_text += f"; ... ({len(items) - PARAMS_SHOWN} more)"
    rows.append(("params", params_text))
    path = _attribute(acq, "path")
    present = [name for name in SIDE_FILES if path and os.path.exists(os.path.join(path, name))]
    rows.append(("side files", ", ".join(present) or "none"))
    return rows


def acquisition_html(acq: vintrel.Acquisition) -> str:
    """A small HTML table: name and path, then model, board, chunks, events,
    params and the side files present."""
    name = _attribute(acq, "name", "?")
    path = _path(acq)
    body = "".join(f"<tr><th style=\"text-align:left\">{html.escape(label)}</th>"
                   f"<td style=\"text-align:left\">{html.escape(text)}</td></tr>" for label, text in _rows(acq))
    caption = f"<caption>vintrel.Acquisition <b>{html.escape(name)}</b> at <code>{html.escape(path)}</code></caption>"
    return f"<table>{caption}{body}</table>"
