"""`vintrel export PATH OUT`: export_csv with a progress bar, parallel files,
a clean stop on Ctrl-C and a report of where each event went (export.json).

The events are exported one output file at a time: the 1000 indices of file
k go to their own export_csv call, whose single file "<name> (chunk 0).csv"
is written into a private directory inside OUT and then renamed to
"<name> (chunk k).csv". A file's content does not depend on its chunk
number (event positions restart at 0 in every file), so OUT ends up with the
same files and bytes as one export_csv call over all the indices; and a file
appears under its final name only once it is complete.

Files of the same names in OUT are not replaced unless --overwrite says so;
export.json, written last, says which acquisition index each file's rows
hold and which events were left out, and why."""

from __future__ import annotations

import argparse
import os
import queue
import secrets
import shutil
import signal
import sys
import threading
import warnings
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tqdm import tqdm  # type: ignore[import-untyped]

import vintrel

from .. import _export_report as reports
from .._cores import pool_size
from . import left_out
from . import pedestals as ped
from .boards import board_of
from .common import (CommandError, event_count, exception_text, one_line, open_acquisition, params_of,
                     plural, unreachable_chunks, warn)

POLL_SECONDS = 0.1  # how often the main thread looks up from waiting (Ctrl-C)
REPORT = "export.json"


def default_jobs() -> int:
    """As many files at once as export_csv's worker pool would write."""
    return pool_size()


def positive_int(text: str) -> int:
    """An argparse type: an int of 1 or more."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a positive integer, not {text!r}")
    return value


def add_parser(subparsers: Any) -> None:
    """Adds the `export` subcommand."""
    parser = subparsers.add_parser(
        "export", help="export events to CSV files",
        description="Export events to CSV files in OUT (created if missing): the same files and bytes as "
                    "export_csv(acq, indices, OUT, pedestals). A progress bar shows events done, events per "
                    "second and time left. Ctrl-C stops within a second, leaving only complete files, and exits "
                    "with status 130. Events that cannot be read, parsed or corrected are left out of the files; "
                    f"they are counted and listed at the end. A complete export writes {REPORT} beside the files: "
                    "the acquisition, the pedestal correction, the acquisition index of every file's events "
                    "(row evt_num j of a file holds the j-th index of its runs) and the events left out.")
    parser.add_argument("path", help="acquisition directory")
    parser.add_argument("out", help="output directory")
    parser.add_argument("--pedestals", action="store_true",
                        help="subtract the pedestals of the pedestals_calibration side file (when it is missing "
                             "or cannot be decoded, the export runs without correction)")
    parser.add_argument("--range", metavar="A:B[:C]",
                        help="the events to export, as a Python slice over the event count at the start "
                             "(default: all; write --range=-5: when A begins with a minus sign)")
    parser.add_argument("--jobs", type=positive_int, default=default_jobs(), metavar="N",
                        help="files written at once, each on its own thread (default: the CPUs this process may "
                             "run on, or RAYON_NUM_THREADS, as for export_csv's own workers); N jobs use up to N "
                             "cores and hold N files' events in memory")
    parser.add_argument("--overwrite", action="store_true",
                        help="replace files of the same names in OUT (without it, the export refuses to start "
                             "when one exists)")
    parser.add_argument("--quiet", action="store_true", help="no progress bar and no summary")
    parser.add_argument("--format", choices=("csv", "parquet"), default="csv",
                        help="csv: files of 1000 events (default); parquet: one file OUT/<name>.parquet, one row "
                             "per event (needs pyarrow: pip install vintrel[arrow]; --jobs does not apply)")
    parser.set_defaults(run=run_format)


def run_format(args: argparse.Namespace) -> int:
    """The export in the format asked for: CSV files here, a Parquet file by cli/parquet.py."""
    if args.format == "parquet":
        from . import parquet

        return parquet.run(args)
    return run(args)


def select(text: str | None, count: int, path: str) -> range:
    """The indices a --range selects among `count` events."""
    if text is None:
        return range(count)
    parts = text.split(":")
    try:
        if len(parts) not in (2, 3):
            raise ValueError(text)
        bounds = [int(part) if part.strip() else None for part in parts]
        selected = range(count)[slice(*bounds)]
    except ValueError:
        raise CommandError(path, f"bad range {text!r}: expected A:B or A:B:C, integers as in a Python slice, "
                                 "with a step other than 0") from None
    if not selected:
        raise CommandError(path, f"bad range {text!r}: it selects no events (the acquisition has "
                                 f"{plural(count, 'event')})")
    return selected


@dataclass(frozen=True)
class Format:
    """How files of one format are written and read back."""

    suffix: str
    # Writes the events of `indices` as one file into an empty scratch
    # directory; returns the file.
    write: Callable[[vintrel.Acquisition, Sequence[int], Path, bool], Path]
    # The number of events a written file shows.
    events_in: Callable[[Path], int]


def write_csv(acq: vintrel.Acquisition, indices: Sequence[int], scratch: Path, pedestals: bool) -> Path:
    """Exports `indices` as one CSV file into `scratch`; returns its path."""
    vintrel.export_csv(acq, indices, scratch, pedestals)
    return scratch / reports.file_name(acq.name, 0)


CSV = Format(".csv", write_csv, reports.events_in_csv)


def output_dir(out: str) -> Path:
    """OUT, made if missing."""
    try:
        os.mkdir(out)
    except FileExistsError:
        if not os.path.isdir(out):
            raise CommandError(out, "exists and is not a directory") from None
    except OSError as error:
        raise CommandError(out, exception_text(error)) from None
    return Path(out)


def refuse_existing(out: str, names: list[str]) -> None:
    """Fails with a one-line error naming the first of `names` that exists in OUT."""
    try:
        reports.refuse_existing((os.path.join(out, name) for name in names), "--overwrite replaces it")
    except FileExistsError as error:
        raise CommandError(error.filename, "exists; the export replaces no file without --overwrite") from None


@dataclass
class FileExport:
    """Writes the files of one export; shared by the worker threads."""

    acq: vintrel.Acquisition
    out: Path
    pedestals: bool
    form: Format = CSV
    work: Path | None = None  # private directory inside OUT, once named
    stopped: bool = False
    renamed: int = 0  # files moved into OUT
    lock: threading.Lock = field(default_factory=threading.Lock)

    def make_private_dir(self) -> None:
        """Makes the private directory inside OUT. Its name is set before it
        is made, so that an interruption at any point leaves nothing that
        abandon() does not find."""
        while True:
            self.work = self.out / f".vintrel-export-{secrets.token_hex(6)}"
            try:
                self.work.mkdir(mode=0o700)
                return
            except FileExistsError:
                self.work = None
            except OSError as error:
                self.work = None
                raise CommandError(str(self.out), exception_text(error)) from None

    def final_name(self, k: int) -> str:
        """The name file k gets in OUT."""
        return reports.file_name(self.acq.name, k, self.form.suffix)

    def write(self, k: int, indices: Sequence[int]) -> int:
        """Writes file k; returns the number of events in it."""
        assert self.work is not None
        scratch = self.work / str(k)
        scratch.mkdir()
        produced = self.form.write(self.acq, indices, scratch, self.pedestals)
        written = self.form.events_in(produced)
        with self.lock:
            if not self.stopped:
                os.replace(produced, self.out / self.final_name(k))
                self.renamed += 1
        try:
            scratch.rmdir()
        except OSError:
            pass  # abandoned meanwhile
        return written

    def place(self, name: str, text: str) -> None:
        """Writes a file into OUT whole: made in the private directory,
        then renamed."""
        assert self.work is not None
        staged = self.work / name
        staged.write_text(text, encoding="utf-8")
        os.replace(staged, self.out / name)

    def abandon(self) -> None:
        """Stops every rename, then removes the private directory with the
        unfinished files in it. An export still running may create its file
        until the directory is gone, so removal is repeated until it is."""
        # Set before the lock is taken too: a worker that has just let go of
        # it could otherwise take it again, and rename one more file, before
        # this thread is scheduled. A rename under way finishes and counts.
        self.stopped = True
        with self.lock:
            self.stopped = True
        if self.work is None:
            return
        for _ in range(1000):
            shutil.rmtree(self.work, ignore_errors=True)
            if not os.path.lexists(self.work):
                return


@dataclass
class Outcome:
    """What the writing threads have done: the events in each file finished,
    and the threads themselves (checked for stragglers at the end)."""

    written: dict[int, int] = field(default_factory=dict)  # file number -> events in it
    threads: list[threading.Thread] = field(default_factory=list)


def write_files(job: FileExport, files: list[Sequence[int]], jobs: int, progress: tqdm, outcome: Outcome) -> None:
    """Writes every file on `jobs` threads. The main thread only waits, a
    moment at a time, so that Ctrl-C reaches it while exports run."""
    todo: queue.SimpleQueue[int] = queue.SimpleQueue()
    for k in range(len(files)):
        todo.put(k)
    done: queue.SimpleQueue[tuple[int, int, BaseException | None]] = queue.SimpleQueue()

    def worker() -> None:
        while not job.stopped:
            try:
                k = todo.get_nowait()
            except queue.Empty:
                return
            try:
                done.put((k, job.write(k, files[k]), None))
            except BaseException as error:
                done.put((k, 0, error))
                return

    outcome.threads = [threading.Thread(target=worker, daemon=True) for _ in range(min(jobs, len(files)))]
    for thread in outcome.threads:
        thread.start()
    while len(outcome.written) < len(files):
        try:
            k, written, error = done.get(timeout=POLL_SECONDS)
        except queue.Empty:
            continue
        if error is not None:
            raise error
        outcome.written[k] = written
        progress.update(len(files[k]))


def failure(error: BaseException, path: str, out: str) -> CommandError:
    """The one-line failure of an export, about the acquisition or the output directory."""
    text = exception_text(error)
    cause = error.__cause__  # the reason behind the export's own message
    if isinstance(cause, OSError) and cause.strerror:
        # Without its file name: that is of the private directory, gone by now.
        text += f": [Errno {cause.errno}] {cause.strerror}"
    elif cause is not None:
        text += f": {one_line(str(cause)) or type(cause).__name__}"
    about_acquisition = type(error).__name__ == "MetadataError" or "acquisition" in text or "parsing" in text
    return CommandError(path if about_acquisition else out, text)


def summary(report: reports.ExportReport, out: str) -> list[str]:
    """The lines said after an export: events exported of those asked, and those left out by reason."""
    lines = [f"exported {report.events} of {plural(report.requested, 'event')} "
             f"to {plural(len(report.files), 'file')} in {out}"]
    lines += left_out.describe(report)
    return lines


def write_report(job: FileExport, files: list[Sequence[int]], outcome: Outcome, applied: bool) -> reports.ExportReport:
    """Finds where the events went (only files that came up short are read
    again) and writes the report beside the files."""
    out = os.path.abspath(job.out)
    paths = [os.path.join(out, job.final_name(k)) for k in range(len(files))]
    report = reports.build(job.acq, out, files, paths, (outcome.written[k] for k in range(len(files))),
                           job.pedestals, applied)
    job.place(REPORT, report.to_json() + "\n")
    return report


def finish(outcome: Outcome, status: int) -> int:
    """Returns the status, or ends the process with it at once while an
    export thread is still inside export_csv (it cannot be stopped there)."""
    if any(thread.is_alive() for thread in outcome.threads):
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    return status


def opened(args: argparse.Namespace) -> tuple[vintrel.Acquisition, range]:
    """What every export checks first: the acquisition opens, its board is
    known, the range selects events; and the warnings about chunks."""
    acq = open_acquisition(args.path)
    count = event_count(acq, args.path)
    model = params_of(acq).get("model")
    if board_of(model) is None:
        raise CommandError(args.path, f"unsupported board model {model!r}: its events cannot be exported")
    indices = select(args.range, count, args.path)
    if warning := unreachable_chunks(acq.path, acq.chunk_count):
        warn("export", args.path, warning)
    return acq, indices


def run(args: argparse.Namespace) -> int:
    """Exports the events asked for, file by file on --jobs threads, then sums up."""
    acq, indices = opened(args)
    files = reports.split(indices)
    job = FileExport(acq, Path(args.out), args.pedestals)
    if not args.overwrite:
        refuse_existing(args.out, [job.final_name(k) for k in range(len(files))] + [REPORT])
    reason = ped.unusable(acq) if args.pedestals else None
    if reason:
        warn("export", args.path, f"{reason}: the export runs without correction")
        warnings.filterwarnings("ignore", ped.REFUSED_WARNING, RuntimeWarning)  # said once, here
    output_dir(args.out)
    outcome = Outcome()
    progress = tqdm(total=len(indices), unit="event", mininterval=0, dynamic_ncols=True, disable=args.quiet,
                    file=sys.stderr)
    status, message, interrupted = 0, "", False
    report = None
    try:
        job.make_private_dir()
        write_files(job, files, args.jobs, progress, outcome)
        progress.close()
        report = write_report(job, files, outcome, args.pedestals and not reason)
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not cut the clean-up short
        status, interrupted = 130, True
    except CommandError as error:
        status, message = 1, str(error)
    except (Exception, vintrel.PanicException) as error:
        status, message = 1, str(failure(error, args.path, args.out))
    finally:
        job.abandon()
        progress.close()
    if interrupted:  # counted once no file can be renamed any more
        message = f"{args.out}: interrupted; {plural(job.renamed, 'complete file')} of {len(files)} written"
    if message:
        print(f"vintrel export: {message}", file=sys.stderr)
    elif report is not None and not args.quiet:
        print("\n".join(summary(report, args.out)))
    return finish(outcome, status)
