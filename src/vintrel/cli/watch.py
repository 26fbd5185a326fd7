"""`vintrel watch PATH`: a run's progress while it records, and optionally a
picture of its latest event kept up to date."""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any, TextIO

import vintrel

from .. import _follow
from . import plot
from .common import CommandError, exception_text, open_acquisition, plural, warn


def interval(text: str) -> float:
    """--interval's type: seconds from 0.05 to 86400."""
    try:
        seconds = float(text)
    except ValueError:
        seconds = float("nan")
    if not 0.05 <= seconds <= 86400:
        raise argparse.ArgumentTypeError(f"expected a number of seconds from 0.05 to 86400, not {text!r}")
    return seconds


def add_parser(subparsers: Any) -> None:
    """Add the `watch` command to the command line's subparsers."""
    parser = subparsers.add_parser(
        "watch", help="show a recording run's progress as it grows",
        description="Follow an acquisition while it is recorded: events, events/s and MB/s over the last "
                    "interval, chunks, events that could not be read or parsed, and the time since the last "
                    "event. On a terminal the status is one line updated in place; otherwise one line is "
                    "written per interval. Ctrl-C ends it with a summary line (exit status 130).")
    parser.add_argument("path", help="acquisition directory")
    parser.add_argument("--interval", type=interval, default=1.0, metavar="SECONDS",
                        help="time between status updates (default: 1)")
    parser.add_argument("--plot", type=plot.picture, metavar="FILE",
                        help="draw the latest event to this picture (.png, .pdf or .svg) every interval, replacing "
                             f"it atomically (needs matplotlib: {plot.EXTRA})")
    parser.add_argument("--channels", type=plot.channel_list, metavar="0,3,...",
                        help="channels to draw (default: every channel with samples)")
    parser.set_defaults(run=run)


class DataSize:
    """The total size of the data files, stat()ing only the last chunks: a
    chunk followed by another no longer grows."""

    def __init__(self, root: str) -> None:
        self.root = root
        self.settled = 0  # bytes in chunks before `first_open`
        self.first_open = 0

    def total(self, chunks: int) -> int:
        """Bytes in the data files of the first `chunks` chunks (those not yet
        there count nothing)."""
        size, n = self.settled, self.first_open
        for n in range(self.first_open, chunks):
            try:
                chunk_size = os.stat(os.path.join(self.root, f"{n}.bin")).st_size
            except OSError:
                break
            if n < chunks - 1:
                self.settled += chunk_size
                self.first_open = n + 1
            size += chunk_size
        return size


class Status:
    """What the status line reports: events, rates over the last interval,
    chunks, errors and the time since the last event."""

    def __init__(self, acq: vintrel.Acquisition, events: int) -> None:
        self.acq = acq
        self.data = DataSize(acq.path)
        self.started = self.last_report = time.monotonic()
        self.start_events = self.events = self.reported_events = events
        self.errors = 0
        self.chunks = acq.chunk_count
        self.start_bytes = self.reported_bytes = self.data.total(self.chunks)
        self.last_event = self.recorded_at(events)
        self.latest: int | None = None

    def recorded_at(self, events: int) -> float | None:
        """When the last chunk's index was last written, on the monotonic
        clock: the time of the last event before the watch began."""
        if events == 0 or self.chunks == 0:
            return None
        try:
            written = os.stat(os.path.join(self.acq.path, f"{self.chunks - 1}.idx")).st_mtime
        except OSError:
            return None
        return time.monotonic() - max(0.0, time.time() - written)

    def add(self, batch: vintrel.EventArrays) -> None:
        """Count a batch: its events and errors, and its last event as the latest."""
        seen = [i for i, _ in batch.errors] + ([int(batch.index[-1])] if len(batch) else [])
        if not seen:
            return
        last = max(seen)
        self.events = last + 1
        self.errors += len(batch.errors)
        self.last_event = time.monotonic()
        if len(batch):
            self.latest = int(batch.index[-1])

    def line(self) -> str:
        """The status line now, with rates since the previous line."""
        now = time.monotonic()
        self.chunks = self.acq.chunk_count
        size = self.data.total(self.chunks)
        elapsed = max(now - self.last_report, 1e-9)
        rate = (self.events - self.reported_events) / elapsed
        mbps = (size - self.reported_bytes) / elapsed / 1e6
        self.last_report, self.reported_events, self.reported_bytes = now, self.events, size
        since = "no event yet" if self.last_event is None else f"last event {now - self.last_event:.1f} s ago"
        return (f"{self.events:,} events, {rate:,.0f} events/s, {mbps:.2f} MB/s, {plural(self.chunks, 'chunk')}, "
                f"{plural(self.errors, 'error')}, {since}")

    def summary(self) -> str:
        """The closing line: new events, their rate over the whole watch, errors."""
        seconds = time.monotonic() - self.started
        new = self.events - self.start_events
        return (f"{self.acq.name}: {plural(new, 'new event')} in {seconds:.1f} s "
                f"({new / max(seconds, 1e-9):,.0f} events/s), {self.events:,} in all, "
                f"{plural(self.errors, 'error')}")


class Display:
    """One line rewritten in place on a terminal, a line per update elsewhere."""

    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.in_place = out.isatty()
        self.width = 0

    def show(self, text: str) -> None:
        """Write a status line (over the previous one on a terminal)."""
        if self.in_place:
            self.out.write("\r" + text.ljust(self.width))
            self.width = len(text)
        else:
            self.out.write(text + "\n")
        self.out.flush()

    def end(self) -> None:
        """Finish the line rewritten in place, so what follows starts on its own."""
        if self.in_place and self.width:
            self.out.write("\n")


def draw_latest(acq: vintrel.Acquisition, index: int, channels: list[int] | None, out: str) -> None:
    """Draws event `index` to a file beside `out`, then renames it over `out`,
    so that a viewer never reads a half-written picture."""
    from .. import plot as pictures

    head, tail = os.path.split(out)
    stem, ext = os.path.splitext(tail)
    temporary = os.path.join(head, f".{stem}.{os.getpid()}.tmp{ext}")
    try:
        pictures.event(acq, index, temporary, channels=channels)
        os.replace(temporary, out)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def run(args: argparse.Namespace) -> int:
    """`vintrel watch`: status lines until Ctrl-C, then the summary (exit status 130)."""
    if args.plot:
        plot.require_matplotlib()
    acq = open_acquisition(args.path)
    try:
        start = len(acq)
    except Exception as error:
        raise CommandError(args.path, f"cannot count the events: {exception_text(error)}") from None
    status = Status(acq, start)
    display = Display(sys.stdout)
    drawn: int | None = None
    plot_failure = ""
    next_report = time.monotonic() + args.interval
    try:
        for batch in _follow.ticking(acq, start, args.interval):
            if batch is not None:
                status.add(batch)
            if time.monotonic() < next_report:
                continue
            next_report = time.monotonic() + args.interval
            display.show(status.line())
            if args.plot and status.latest is not None and status.latest != drawn:
                drawn = status.latest
                try:
                    draw_latest(acq, drawn, args.channels, args.plot)
                except Exception as error:
                    if exception_text(error) != plot_failure:  # said once, not every interval
                        plot_failure = exception_text(error)
                        warn("watch", args.plot, f"event {drawn} not drawn: {plot_failure}")
    except KeyboardInterrupt:
        pass
    except FileNotFoundError:
        display.end()
        raise CommandError(args.path, "the acquisition was removed") from None
    # The iteration has no timeout: it ends only on Ctrl-C.
    display.end()
    print(status.summary())
    return 130
