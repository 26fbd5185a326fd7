"""Events in batches: Acquisition.iterate() and vintrel.iterate().

A batch is one ``arrays()`` call over a run of consecutive indices. The
next batch is read on a background thread while the caller works on the
current one (arrays() releases the interpreter lock while it reads), and
never more than one ahead: at most three batches are alive at once (the one
the caller still holds, the one just handed over, the one being read).
"""

from __future__ import annotations

import math
import operator
import os
import re
import sys
import warnings
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import Any, SupportsIndex, Union

import vintrel

from ._columnar import EventArrays

__all__ = ["EventBatch", "acquisition_iterate", "iterate", "parse_size"]

# One path, pathlib.Path or Acquisition.
AcquisitionLike = Union[str, "os.PathLike[str]", vintrel.Acquisition]

PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__)) + os.sep

# Events read to learn how many bytes of arrays one event makes, when the
# step is a size.
PROBE_EVENTS = 64

UNITS = {"b": 1, "kb": 10**3, "mb": 10**6, "gb": 10**9, "tb": 10**12,
         "kib": 2**10, "mib": 2**20, "gib": 2**30, "tib": 2**40}
SIZE = re.compile(r"\s*((?:\d+(?:\.\d*)?|\.\d+)(?:e[+-]?\d+)?)\s*([a-z]+)\s*", re.IGNORECASE)


class EventBatch(EventArrays):
    """An EventArrays read by ``iterate()``, saying where it came from.

    Attributes:
        acquisition: the Acquisition the events were read from.
        requested: the acquisition indices the batch was asked for, a range
            (``index`` lists those read; the others are in ``errors``).
    """

    __slots__ = ("acquisition", "requested")

    acquisition: vintrel.Acquisition
    requested: Sequence[SupportsIndex]

    @classmethod
    def of(cls, arrays: EventArrays, acquisition: vintrel.Acquisition,
           requested: Sequence[SupportsIndex]) -> EventBatch:
        """The batch of `arrays` (sharing its arrays), read from `acquisition` for `requested`."""
        batch = cls.__new__(cls)
        for name in EventArrays.__slots__:
            setattr(batch, name, getattr(arrays, name))
        batch.acquisition = acquisition
        batch.requested = requested
        return batch


def parse_size(text: str) -> int:
    """Bytes in a size such as "100 MB", "1.5GiB" or "640 kB".

    Units, in any letter case: B; kB, MB, GB, TB (powers of 1000); KiB, MiB,
    GiB, TiB (powers of 1024). The number may have a fraction and an
    exponent; the result is rounded down and must be at least one byte.
    """
    match = SIZE.fullmatch(text)
    unit = UNITS.get(match.group(2).lower()) if match else None
    if match is None or unit is None:
        raise ValueError(f"step_size {text!r} is not a size: expected a number and a unit, B, kB, MB, GB, TB, "
                         "KiB, MiB, GiB or TiB (\"100 MB\")")
    size = float(match.group(1)) * unit
    if not math.isfinite(size) or size < 1:
        raise ValueError(f"step_size {text!r} is less than one byte or too large")
    return int(size)


def step_of(step_size: object) -> int | str:
    """Events per batch (int), or the size text, checked, to turn into events later."""
    if isinstance(step_size, str):
        parse_size(step_size)
        return step_size
    if isinstance(step_size, bool):
        raise TypeError("step_size must be a number of events or a size string, not bool")
    try:
        events = operator.index(step_size)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"step_size must be a number of events or a size string such as \"100 MB\", not "
                        f"{type(step_size).__name__}") from None
    if events < 1:
        raise ValueError(f"step_size must be at least 1 event, not {events}")
    return events


def bound(value: object, name: str) -> int:
    """A start or stop index: an int (anything with __index__), not negative."""
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if number < 0:
        raise ValueError(f"{name} must not be negative, not {number}")
    return number


def read_options(channels: Iterable[int] | None, pedestals_correction: bool) -> dict[str, Any]:
    """The keyword arguments of each arrays() call. channels is passed only
    when given, as a list taken now (an iterator is read once)."""
    options: dict[str, Any] = {"pedestals_correction": pedestals_correction}
    if channels is not None:
        options["channels"] = list(channels)
    return options


def events_per_step(acq: vintrel.Acquisition, size: int, start: int, stop: int, options: dict[str, Any]) -> int:
    """How many events make about `size` bytes of arrays: measured on the
    first events at or after `start` that can be read (PROBE_EVENTS of them
    at most). Correction does not change sizes and is left out of the probe,
    so that it warns only once, in the batches. When no event in
    [start, stop) can be read at all, the size of the batches does not
    matter: one batch holds them all."""
    probe_options = {**options, "pedestals_correction": False}
    for at in range(start, stop, PROBE_EVENTS):
        probe = acq.arrays(range(at, min(at + PROBE_EVENTS, stop)), **probe_options)
        if len(probe):
            return max(1, size * len(probe) // max(probe.nbytes, 1))
    return max(1, stop - start)


def ranges(acq: vintrel.Acquisition, step: int | str, start: int, stop: int,
           options: dict[str, Any]) -> Iterator[range]:
    """The runs of indices from start to stop, `step` events each (the last
    may be shorter); a size step is turned into events first."""
    if isinstance(step, str):
        step = events_per_step(acq, parse_size(step), start, stop, options)
    for at in range(start, stop, step):
        yield range(at, min(at + step, stop))


def warn_outside(message: Warning | str, category: type[Warning]) -> None:
    """warnings.warn, attributed to the first caller outside this package."""
    level, frame = 1, sys._getframe(0)
    while frame is not None and frame.f_code.co_filename.startswith(PACKAGE_DIR):
        frame, level = frame.f_back, level + 1  # type: ignore[assignment]
    warnings.warn(message, category, stacklevel=level)


def with_pedestals_checked(acq: vintrel.Acquisition, options: dict[str, Any]) -> dict[str, Any]:
    """The options for the batches of `acq`. A correction asked for whose
    pedestal file is missing or refused is said once, here, in the caller's
    thread and attributed to the caller's code, instead of once per batch
    from the reading thread; the batches then read uncorrected, which is
    what arrays() does in that case."""
    if not options["pedestals_correction"]:
        return options
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        usable = acq.arrays([], pedestals_correction=options["pedestals_correction"]).pedestals_corrected
    for warning in caught:
        warn_outside(warning.message, warning.category)
    return options if usable else {**options, "pedestals_correction": False}


Job = tuple[vintrel.Acquisition, Sequence[SupportsIndex], dict[str, Any]]  # acquisition, indices, arrays() options


def prefetched(jobs: Iterator[Job]) -> Iterator[EventBatch]:
    """The batches of `jobs`, each read on a background thread while the
    one before it is with the caller. Closing the iterator waits for a read
    under way to end (it cannot be stopped midway)."""
    with ThreadPoolExecutor(max_workers=1, thread_name_prefix="vintrel-iterate") as pool:

        def submit() -> tuple[vintrel.Acquisition, Sequence[SupportsIndex], Future[EventArrays]] | None:
            job = next(jobs, None)
            if job is None:
                return None
            acq, indices, options = job
            return acq, indices, pool.submit(acq.arrays, indices, **options)

        pending = submit()
        while pending is not None:
            acq, indices, future = pending
            arrays = future.result()
            pending = submit()
            yield EventBatch.of(arrays, acq, indices)
            del arrays


def jobs_of(acq: vintrel.Acquisition, step: int | str, start: int, stop: int,
            options: dict[str, Any]) -> Iterator[Job]:
    """The batches of one acquisition; the pedestal file is looked at and the
    step measured when the first is due."""
    options = with_pedestals_checked(acq, options)
    for indices in ranges(acq, step, start, stop, options):
        yield acq, indices, options


def acquisition_iterate(acq: vintrel.Acquisition, step_size: int | str = 10_000, *, start: int = 0,
                        stop: int | None = None, channels: Iterable[int] | None = None,
                        pedestals_correction: bool = False) -> Iterator[EventBatch]:
    """Acquisition.iterate(): see its docstring. Arguments are checked and
    stop is taken now; reading starts with the first next()."""
    step = step_of(step_size)
    first = bound(start, "start")
    last = len(acq) if stop is None else bound(stop, "stop")
    return prefetched(jobs_of(acq, step, first, last, read_options(channels, pedestals_correction)))


# Argument errors name the method the caller called.
acquisition_iterate.__qualname__ = "Acquisition.iterate"


def opened(paths_or_acquisitions: AcquisitionLike | Iterable[AcquisitionLike]) -> list[vintrel.Acquisition]:
    """One path or Acquisition, or an iterable of them, as Acquisitions (paths opened now)."""
    items: Iterable[AcquisitionLike]
    if isinstance(paths_or_acquisitions, (str, os.PathLike, vintrel.Acquisition)):
        items = [paths_or_acquisitions]
    else:
        items = paths_or_acquisitions
    return [item if isinstance(item, vintrel.Acquisition) else vintrel.Acquisition(item) for item in items]


def iterate(paths_or_acquisitions: AcquisitionLike | Iterable[AcquisitionLike], step_size: int | str = 10_000, *,
            channels: Iterable[int] | None = None, pedestals_correction: bool = False) -> Iterator[EventBatch]:
    """vintrel.iterate(): the batches of every event of each acquisition in
    turn (see the stub's docstring)."""
    step = step_of(step_size)
    acquisitions = opened(paths_or_acquisitions)
    counts = [len(acq) for acq in acquisitions]
    options = read_options(channels, pedestals_correction)
    return prefetched(job for acq, count in zip(acquisitions, counts) for job in jobs_of(acq, step, 0, count, options))
