"""Following an acquisition while it is recorded: `Acquisition.follow()`.

The loop is simple: count the events, read those past the cursor with
arrays(), yield them, and when there are none wait for the directory to
change. An event is yielded only once its bytes are all in the data file:
an index entry that points beyond its data file's end (the recorder wrote
the entry before the data, or the data only in part) holds the cursor until
the data is there. Waiting is on file-system notifications where the
platform has them, and in any case at most `poll` seconds between checks
(notifications miss writes made by other machines on a network file system).
"""

from __future__ import annotations

import errno
import math
import operator
import os
import time
from typing import TYPE_CHECKING, Any, Iterable, Iterator, SupportsIndex

from ._notify import Waiter, open_waiter

if TYPE_CHECKING:
    from ._columnar import EventArrays
    from ._vintrel import Acquisition

# Failures of reading an event (not of parsing it): the entry points beyond
# the data file, or a file could not be sized or mapped. While following, such
# an event is taken as not yet written.
_UNREADABLE = (IndexError, OSError)


def follow(acq: Acquisition, start: SupportsIndex | None = None, *, step_size: SupportsIndex = 1000,
           timeout: float | None = None, poll: float = 0.5, channels: Iterable[SupportsIndex] | None = None,
           pedestals_correction: bool = False) -> Iterator[EventArrays]:
    """Acquisition.follow(): the arguments are checked and `start` taken now,
    not at the first next(), so that no event appended in between is missed."""
    step = operator.index(step_size)
    if step < 1:
        raise ValueError(f"step_size must be at least 1, not {step}")
    wait_max = _seconds(timeout, "timeout", allow_none=True)
    interval = _seconds(poll, "poll", allow_none=False)
    if interval is None or interval <= 0:
        raise ValueError(f"poll must be a positive number of seconds, not {poll!r}")
    if start is None:
        cursor = len(acq)
    else:
        cursor = operator.index(start)
        if cursor < 0:
            raise ValueError(f"start must not be negative, not {cursor}")
    options: dict[str, Any] = {"pedestals_correction": bool(pedestals_correction)}
    if channels is not None:
        options["channels"] = tuple(channels)  # read once: every batch asks for the same channels
    return _batches(acq, cursor, step, wait_max, interval, options)


def ticking(acq: Acquisition, start: int, tick: float, *,
            channels: Iterable[SupportsIndex] | None = None) -> Iterator[EventArrays | None]:
    """follow(start) without a timeout that also yields None after every
    `tick` seconds without a batch (for displays that update on a clock)."""
    options: dict[str, Any] = {} if channels is None else {"channels": tuple(channels)}
    return _batches(acq, start, 1000, None, min(0.5, tick), options, tick)


def _seconds(value: float | None, name: str, *, allow_none: bool) -> float | None:
    """`value` checked as a non-negative number of seconds (None passes where allowed)."""
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds{' or None' if allow_none else ''}, "
                        f"not {type(value).__name__}")
    seconds = float(value)
    if math.isnan(seconds) or seconds < 0:
        raise ValueError(f"{name} must not be negative, not {value!r}")
    return seconds


def _batches(acq: Acquisition, cursor: int, step: int, timeout: float | None, poll: float,
             options: dict[str, Any], tick: float | None = None) -> Iterator[Any]:
    """The generator behind follow() and ticking(): batches from `cursor` on,
    waiting for changes between them, until the timeout or Ctrl-C."""
    waiter: Waiter | None = None
    try:
        waiter = open_waiter(acq.path)
        last_news = last_yield = time.monotonic()
        while True:
            batch = _ready_batch(acq, cursor, step, options)
            if batch is not None:
                cursor = batch[1]
                last_news = last_yield = time.monotonic()
                yield batch[0]
                continue
            now = time.monotonic()
            if tick is not None and now - last_yield >= tick:
                last_yield = now
                yield None
                continue
            left = None if timeout is None else timeout - (now - last_news)
            if left is not None and left <= 0:
                # What is still unreadable is reported, not dropped: each
                # event past the cursor ends up in a batch or its errors.
                yield from _remaining(acq, cursor, step, options)
                return
            wait = poll if left is None else min(poll, left)
            if tick is not None:
                wait = min(wait, tick - (now - last_yield))
            waiter.wait(wait)
    except KeyboardInterrupt:
        # Ctrl-C ends the iteration like a timeout: the caller's loop ends
        # and the notification descriptor is closed below.
        return
    finally:
        if waiter is not None:
            waiter.close()


def _ready_batch(acq: Acquisition, cursor: int, step: int,
                 options: dict[str, Any]) -> tuple[EventArrays, int] | None:
    """The next batch and the cursor after it, or None while no event past
    the cursor is readable yet. FileNotFoundError once the acquisition is gone."""
    count = _count(acq)
    if count <= cursor:
        return None
    stop = min(count, cursor + step)
    batch = acq.arrays(range(cursor, stop), **options)
    held = min((i for i, error in batch.errors if isinstance(error, _UNREADABLE)), default=None)
    if held is None:
        return batch, stop
    if held == cursor:
        return None
    # The events before the first unreadable one are complete: they are read
    # again on their own, so that the batch ends where the cursor stops.
    return acq.arrays(range(cursor, held), **options), held


def _count(acq: Acquisition) -> int:
    """The event count now; FileNotFoundError once the directory is gone."""
    if not acq.is_valid:
        raise FileNotFoundError(errno.ENOENT, "the acquisition was removed while it was followed", acq.path)
    return len(acq)


def _remaining(acq: Acquisition, cursor: int, step: int, options: dict[str, Any]) -> Iterator[EventArrays]:
    """Every event past the cursor as it reads now, unreadable ones among the errors."""
    count = _count(acq)
    for begin in range(cursor, count, step):
        yield acq.arrays(range(begin, min(count, begin + step)), **options)
