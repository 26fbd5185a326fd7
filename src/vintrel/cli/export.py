"""`vintrel export PATH OUT`: export_csv with a progress bar, parallel files
and a clean stop on Ctrl-C.

The events are exported one output file at a time: the 1000 indices of file
k go to their own export_csv call, whose single file "<name> (chunk 0).csv"
is written into a private directory inside OUT and then renamed to
"<name> (chunk k).csv". A file's content does not depend on its chunk
number (event positions restart at 0 in every file), so OUT ends up with the
same files and bytes as one export_csv call over all the indices; and a file
appears under its final name only once it is complete."""

from __future__ import annotations

import argparse
import os
import queue
import shutil
import signal
import sys
import tempfile
import threading
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from tqdm import tqdm  # type: ignore[import-untyped]

import vintrel

from . import left_out
from . import pedestals as ped
from .boards import board_of
from .common import (CommandError, event_count, exception_text, open_acquisition, params_of, plural,
                     unreachable_chunks, warn)

EVENTS_PER_FILE = 1000  # export_csv's chunk size
POLL_SECONDS = 0.1  # how often the main thread looks up from waiting (Ctrl-C)


def default_jobs() -> int:
    """As many files at once as export_csv's worker pool would write."""
    configured = os.environ.get("RAYON_NUM_THREADS", "")
    if configured.isdigit() and int(configured) > 0:
        return int(configured)
    return len(os.sched_getaffinity(0)) or 1


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
                    "they are counted and listed at the end.")
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


def output_dirs(out: str) -> tuple[Path, Path]:
    """OUT, made if missing, and a new private directory inside it."""
    try:
        os.mkdir(out)
    except FileExistsError:
        if not os.path.isdir(out):
            raise CommandError(out, "exists and is not a directory") from None
    except OSError as error:
        raise CommandError(out, exception_text(error)) from None
    try:
        return Path(out), Path(tempfile.mkdtemp(prefix=".vintrel-export-", dir=out))
    except OSError as error:
        raise CommandError(out, exception_text(error)) from None


def events_in(csv_file: Path) -> int:
    """Events written to an export file: the position on its last row, plus
    one (the file is read from its end). An event without rows at the very
    end of a file is not counted."""
    with open(csv_file, "rb") as f:
        end = f.seek(0, os.SEEK_END)
        size = 1 << 14
        while True:
            start = max(0, end - size)
            f.seek(start)
            body = f.read(end - start).removesuffix(b"\n")
            cut = body.rfind(b"\n")
            if cut >= 0 or start == 0:
                break
            size *= 4
    last = body[cut + 1:]
    return 0 if last.startswith(b"acq_num") else int(last.split(b",", 2)[1]) + 1


@dataclass
class FileExport:
    """Writes the files of one export; shared by the worker threads."""

    acq: vintrel.Acquisition
    out: Path
    work: Path  # private directory inside OUT
    pedestals: bool
    stopped: bool = False
    lock: threading.Lock = field(default_factory=threading.Lock)

    def write(self, k: int, indices: range) -> int:
        """Writes file k; returns the number of events in it."""
        scratch = self.work / str(k)
        scratch.mkdir()
        vintrel.export_csv(self.acq, indices, scratch, self.pedestals)
        produced = scratch / f"{self.acq.name} (chunk 0).csv"
        written = events_in(produced)
        with self.lock:
            if not self.stopped:
                os.replace(produced, self.out / f"{self.acq.name} (chunk {k}).csv")
        try:
            scratch.rmdir()
        except OSError:
            pass  # abandoned meanwhile
        return written

    def abandon(self) -> None:
        """Stops every rename, then removes the private directory with the
        unfinished files in it. An export still running may create its file
        until the directory is gone, so removal is repeated until it is."""
        with self.lock:
            self.stopped = True
        for _ in range(1000):
            shutil.rmtree(self.work, ignore_errors=True)
            if not os.path.lexists(self.work):
                return


@dataclass
class Outcome:
    written: dict[int, int] = field(default_factory=dict)  # file number -> events in it
    threads: list[threading.Thread] = field(default_factory=list)


def write_files(job: FileExport, files: list[range], jobs: int, progress: tqdm, outcome: Outcome) -> None:
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
    about_acquisition = type(error).__name__ == "MetadataError" or "acquisition" in text or "parsing" in text
    return CommandError(path if about_acquisition else out, text)


def summary(files: list[range], outcome: Outcome, acq: vintrel.Acquisition, pedestals: bool, out: str) -> list[str]:
    """The lines said after an export: events exported of those asked, and those left out by reason."""
    asked = sum(map(len, files))
    # Only files that came up short are looked into, event by event.
    short = [files[k] for k, n in outcome.written.items() if n < len(files[k])]
    missing = left_out.find(acq, short, pedestals)
    lines = [f"exported {asked - sum(map(len, missing.values()))} of {plural(asked, 'event')} "
             f"to {plural(len(files), 'file')} in {out}"]
    lines += left_out.describe(missing)
    return lines


def finish(outcome: Outcome, status: int) -> int:
    """Returns the status, or ends the process with it at once while an
    export thread is still inside export_csv (it cannot be stopped there)."""
    if any(thread.is_alive() for thread in outcome.threads):
        sys.stdout.flush()
        sys.stderr.flush()
        os._exit(status)
    return status


def run(args: argparse.Namespace) -> int:
    """Exports the events asked for, file by file on --jobs threads, then sums up."""
    acq = open_acquisition(args.path)
    count = event_count(acq, args.path)
    model = params_of(acq).get("model")
    if board_of(model) is None:
        raise CommandError(args.path, f"unsupported board model {model!r}: its events cannot be exported")
    indices = select(args.range, count, args.path)
    if warning := unreachable_chunks(acq.path, acq.chunk_count):
        warn("export", args.path, warning)
    if args.pedestals and (reason := ped.unusable(acq)):
        warn("export", args.path, f"{reason}: the export runs without correction")
        warnings.filterwarnings("ignore", ped.REFUSED_WARNING, RuntimeWarning)  # said once, here
    out, work = output_dirs(args.out)
    files = [indices[start:start + EVENTS_PER_FILE] for start in range(0, len(indices), EVENTS_PER_FILE)]
    job = FileExport(acq, out, work, args.pedestals)
    outcome = Outcome()
    progress = tqdm(total=len(indices), unit="event", mininterval=0, dynamic_ncols=True, disable=args.quiet,
                    file=sys.stderr)
    status, message = 0, ""
    try:
        write_files(job, files, args.jobs, progress, outcome)
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C must not cut the clean-up short
        status, message = 130, (f"{args.out}: interrupted; {plural(len(outcome.written), 'complete file')} "
                                f"of {len(files)} written")
    except (Exception, vintrel.PanicException) as error:
        status, message = 1, str(failure(error, args.path, args.out))
    finally:
        job.abandon()
        progress.close()
    if message:
        print(f"vintrel export: {message}", file=sys.stderr)
    elif not args.quiet:
        print("\n".join(summary(files, outcome, acq, args.pedestals, args.out)))
    return finish(outcome, status)
