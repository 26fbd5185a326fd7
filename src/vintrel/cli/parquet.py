"""`vintrel export PATH OUT --format parquet`: the events as one Parquet
file, OUT/<name>.parquet, one row per event and one row group per batch of
events, with a progress bar. The file appears under its name only once it
is complete; Ctrl-C or a failure leaves none (and an older file of that
name as it was). An older file is replaced only with --overwrite.

Once the file is in place, export.json is written beside it, as the CSV
export writes it: the acquisition, the indices the file holds (each row's
`index` says the same) and the events left out, with their reasons."""

from __future__ import annotations

import argparse
import os
import signal
import sys
import tempfile
from collections.abc import Sequence
from pathlib import Path

from tqdm import tqdm  # type: ignore[import-untyped]

import vintrel

from .. import _export_report as reports
from .. import _parquet
from . import pedestals as ped
from .common import CommandError, exception_text, plural, spans, warn
from .left_out import SPANS_SHOWN

REPORT = "export.json"

ROW_GROUP_EVENTS = 10_000


def summary(report: _parquet.ParquetExport, asked: int) -> list[str]:
    """The lines said after the export: events written of those asked, and
    those left out by reason, as the CSV export says them."""
    lines = [f"exported {report.events} of {plural(asked, 'event')} to {report.path}"]
    for reason in (reports.UNREADABLE, reports.UNPARSABLE, reports.UNCORRECTABLE):
        indices = [index for index, error in report.left_out if reports.reason_of(error) == reason]
        if indices:
            runs = spans(indices)
            shown = ", ".join(runs[:SPANS_SHOWN]) + (f", ... ({len(runs) - SPANS_SHOWN} more)"
                                                       if len(runs) > SPANS_SHOWN else "")
            lines.append(f"left out {plural(len(indices), 'event')} that {reason}: {shown}")
    return lines


def export_report(acq: vintrel.Acquisition, requested: Sequence[int], result: _parquet.ParquetExport,
                  pedestals_requested: bool, pedestals_applied: bool) -> reports.ExportReport:
    """The export report of the Parquet file: its rows are the requested
    indices less those left out, in the order asked."""
    left = {index for index, _ in result.left_out}
    held = [index for index in requested if index not in left]
    out_dir = os.path.dirname(result.path)
    return reports.ExportReport(
        acquisition=acq.path, name=acq.name, out_dir=out_dir, version=vintrel.__version__,
        pedestals_requested=pedestals_requested, pedestals_applied=pedestals_applied,
        files=(reports.WrittenFile(result.path, held, requested),),
        left_out=tuple(reports.LeftOutEvent(index, result.path, reports.reason_of(error), error)
                       for index, error in result.left_out))


def write_text(path: Path, text: str) -> None:
    """Writes `path` whole: a file beside it, then renamed over it."""
    handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=path.parent)
    try:
        with os.fdopen(handle, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(temporary, 0o666 & ~_parquet.current_umask())
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def run(args: argparse.Namespace) -> int:
    """Writes the Parquet file of the events asked for, with a progress bar, then sums up."""
    try:
        _parquet.pyarrow_parquet()
    except ImportError as error:
        raise CommandError(args.path, exception_text(error)) from None
    from .export import opened

    acq, indices = opened(args)
    pedestals = args.pedestals
    if pedestals and (reason := ped.unusable(acq)):
        warn("export", args.path, f"{reason}: the export runs without correction")
        pedestals = False  # what the export would do, said once, here
    if not args.overwrite:
        from .export import refuse_existing

        refuse_existing(args.out, [f"{acq.name}.parquet", REPORT])
    from .export import output_dir

    target = output_dir(args.out) / f"{acq.name}.parquet"
    progress = tqdm(total=len(indices), unit="event", mininterval=0, dynamic_ncols=True, disable=args.quiet,
                    file=sys.stderr)
    try:
        report = _parquet.export_batches(acq, indices, target, pedestals_correction=pedestals, channels=None,
                                         row_group_events=ROW_GROUP_EVENTS, compression="zstd",
                                         on_batch=lambda batch: progress.update(len(batch.requested)))
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not cut the clean-up short
        progress.close()
        print(f"vintrel export: {target}: interrupted; no file written", file=sys.stderr)
        return 130
    except (Exception, vintrel.PanicException) as error:
        progress.close()
        raise CommandError(str(target), exception_text(error)) from None
    progress.close()
    record = export_report(acq, indices, report, args.pedestals, pedestals)
    try:
        write_text(target.parent / REPORT, record.to_json() + "\n")
    except OSError as error:
        raise CommandError(str(target.parent / REPORT), exception_text(error)) from None
    if not args.quiet:
        print("\n".join(summary(report, len(indices))))
    return 0
