"""`vintrel info PATH [--json]`: what an acquisition holds."""

from __future__ import annotations

import argparse
import os
from typing import Any

import vintrel

from .boards import board_of
from .common import (CommandError, event_count, json_text, open_acquisition, params_of, plural, read_event,
                     spans, unreachable_chunks)

SIDE_FILES = ("readout_metadata", "pedestals_calibration", "timing_calibration", "adc2mv_calibration")
LABEL_WIDTH = 15
LABELS_SHOWN = 8
GROUPS_SHOWN = 12
VALUE_CHARS = 200  # of one parameter, in the text report


def add_parser(subparsers: Any) -> None:
    """Adds the `info` subcommand."""
    parser = subparsers.add_parser(
        "info", help="what an acquisition holds",
        description="Show an acquisition's name, model and board, chunk and event counts, parameters, "
                    "which side files are present (not decoded), and a summary of its first event.")
    parser.add_argument("path", help="acquisition directory")
    parser.add_argument("--json", action="store_true", help="print the same as one JSON object")
    parser.set_defaults(run=run)


def first_event(acq: vintrel.Acquisition, path: str, count: int) -> dict[str, Any]:
    """Channel entries and, per channel with samples, the sample count and
    window labels of event 0; or why it could not be read."""
    if count == 0:
        return {"error": "the acquisition has no events"}
    try:
        event = read_event(acq, path, 0, count)
    except CommandError as error:
        return {"error": error.reason}
    channels = [{"channel": c, "samples": len(data), "window_labels": list(event["window_labels"][c])}
                for c, data in enumerate(event["data"]) if data]
    return {"channel_entries": len(event["data"]), "channels": channels}


def gather(path: str) -> dict[str, Any]:
    """What `info` reports about the acquisition at `path`, as a JSON-ready dict."""
    acq = open_acquisition(path)
    params = params_of(acq)
    count = event_count(acq, path)
    chunks = acq.chunk_count
    warning = unreachable_chunks(acq.path, chunks)
    return {
        "name": acq.name,
        "path": acq.path,
        "model": params.get("model"),
        "board": board_of(params.get("model")),
        "chunks": chunks,
        "events": count,
        "params": params,
        "side_files": {name: os.path.exists(os.path.join(acq.path, name)) for name in SIDE_FILES},
        "first_event": first_event(acq, path, count),
        "warnings": [warning] if warning else [],
    }


def labels_text(labels: list[int]) -> str:
    """Window labels as text, cut after LABELS_SHOWN."""
    shown = " ".join(map(str, labels[:LABELS_SHOWN]))
    return shown + (f" ... ({len(labels)} windows)" if len(labels) > LABELS_SHOWN else "")


def event_lines(summary: dict[str, Any]) -> list[str]:
    """The first event's summary as lines of the text report."""
    if "error" in summary:
        return [summary["error"]]
    channels = summary["channels"]
    lines = [f"{plural(len(channels), 'channel')} with samples (of {summary['channel_entries']})"]
    # Neighbouring channels that read alike share one line.
    groups: list[tuple[list[int], str]] = []
    for entry in channels:
        text = f"{plural(entry['samples'], 'sample')}, windows {labels_text(entry['window_labels'])}"
        if groups and groups[-1][1] == text and groups[-1][0][-1] == entry["channel"] - 1:
            groups[-1][0].append(entry["channel"])
        else:
            groups.append(([entry["channel"]], text))
    for numbers, text in groups[:GROUPS_SHOWN]:
        lines.append(f"  {'channels' if len(numbers) > 1 else 'channel'} {spans(numbers)[0]}: {text}")
    if len(groups) > GROUPS_SHOWN:
        rest = sum(len(numbers) for numbers, _ in groups[GROUPS_SHOWN:])
        lines.append(f"  ... {plural(rest, 'more channel')} (--json lists every channel)")
    return lines


def value_text(value: Any) -> str:
    """A parameter value as text, cut to VALUE_CHARS characters."""
    text = value if isinstance(value, str) else json_text(value)
    return text if len(text) <= VALUE_CHARS else text[:VALUE_CHARS] + " ..."


def text_report(info: dict[str, Any]) -> list[str]:
    """The report as labelled lines."""
    rows: list[tuple[str, str]] = [
        ("name", info["name"]),
        ("path", info["path"]),
        ("model", value_text(info["model"])),
        ("board", info["board"] or "unsupported model: events cannot be parsed or exported"),
        ("chunks", str(info["chunks"])),
        ("events", str(info["events"])),
    ]
    rows += [("params" if i == 0 else "", f"{key}: {value_text(value)}")
             for i, (key, value) in enumerate(info["params"].items())]
    rows += [("side files" if i == 0 else "", f"{name:<24}{'present' if present else 'absent'}")
             for i, (name, present) in enumerate(info["side_files"].items())]
    rows += [("first event" if i == 0 else "", line) for i, line in enumerate(event_lines(info["first_event"]))]
    rows += [("warning", text) for text in info["warnings"]]
    return [f"{label:<{LABEL_WIDTH}}{text}".rstrip() for label, text in rows]


def run(args: argparse.Namespace) -> int:
    """Prints the report, as text or JSON."""
    info = gather(args.path)
    print(json_text(info) if args.json else "\n".join(text_report(info)))
    return 0
