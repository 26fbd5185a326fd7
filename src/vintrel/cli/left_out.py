"""Which events an export left out, and why, as the summary says it."""

from __future__ import annotations

from .. import _export_report as reports
from .common import plural, spans

SPANS_SHOWN = 100


def describe(report: reports.ExportReport) -> list[str]:
    """One line per reason: how many events, and their indices as runs."""
    lines = []
    for reason in (reports.UNREADABLE, reports.UNPARSABLE, reports.UNCORRECTABLE):
        indices = [event.index for event in report.left_out if event.reason == reason]
        if not indices:
            continue
        runs = spans(indices)
        shown = ", ".join(runs[:SPANS_SHOWN]) + (f", ... ({len(runs) - SPANS_SHOWN} more)"
                                                   if len(runs) > SPANS_SHOWN else "")
        lines.append(f"left out {plural(len(indices), 'event')} that {reason}: {shown}")
    return lines
