"""Many acquisitions on a Dask cluster: lazy arrays and CSV exports as tasks.

Both functions read metadata and event counts where they are called and put
only absolute paths and index ranges into the graph: each task opens its
acquisition again where it runs. Every worker must therefore see the
acquisitions (and, for the export, the output directory) under the same
paths, as on a shared file system. Needs ``pip install 'vintrel[dask]'``.
"""

from __future__ import annotations

import errno
import functools
import operator
import importlib
import os
import sys
from collections import Counter
from collections.abc import Callable, Iterable, Sequence
from typing import Any, NamedTuple, SupportsIndex, TypeVar, Union

try:
    from dask.delayed import Delayed, delayed

    # Imported by name: neither ships type information that mypy takes.
    ak = importlib.import_module("awkward")
    dak = importlib.import_module("dask_awkward")
except ImportError:  # without "as": stubtest would report the name as missing at runtime
    raise ImportError("vintrel.dask needs dask, dask-awkward and awkward: pip install 'vintrel[dask]'") \
        from sys.exc_info()[1]

import numpy as np

import vintrel
from vintrel import _staging

__all__ = ["ExportedFile", "arrays", "export_csv"]

# One path, pathlib.Path or Acquisition.
AcquisitionLike = Union[str, "os.PathLike[str]", vintrel.Acquisition]

# Events per CSV file, as vintrel.export_csv cuts its index list.
FILE_EVENTS = 1000


class ExportedFile(NamedTuple):
    """One CSV file that export_csv wrote."""

    path: str  # the file
    acquisition: str  # the acquisition's absolute path
    indices: range  # the events the file was to hold
    left_out: tuple[int, ...]  # those of them it does not hold: unreadable, unparsable or not corrected


def arrays(acquisitions: AcquisitionLike | Sequence[AcquisitionLike], step_size: int = 10_000,
           pedestals_correction: bool = False, *, index: bool = False,
           channels: Iterable[SupportsIndex] | None = None) -> Any:
    """A lazy dask_awkward.Array of the events of one or several acquisitions.

    One partition per acquisition and range of at most `step_size` event
    indices, in order: computed, partition (acquisition, range) is
    ``acq.arrays(range, pedestals_correction=...).to_awkward()``, events that
    cannot be read, parsed or corrected being left out as there. Building the
    array reads metadata and event counts only; since events may be left out,
    partition lengths are known only once computed (``divisions`` are
    unknown until ``eager_compute_divisions()``). The acquisitions must share
    one record type (boards with the same fields).

    With ``index=True`` every record starts with two more fields, so that
    each entry can be traced back after runs are combined: ``index``, the
    event's index in its acquisition (int64), and ``acquisition``, the
    acquisition's name (its directory's name).

    With ``channels``, only those channels are read and stored, in the
    order given, as ``Acquisition.arrays(..., channels=...)`` reads them; an
    event without one of them is left out.
    """
    if step_size < 1:
        raise ValueError(f"step_size must be at least 1, not {step_size}")
    opened = _opened(acquisitions)
    empty = _common_empty_array(opened, index)
    parts = [(path, start, min(start + step_size, count))
             for path, acq in opened for count in (len(acq),) for start in range(0, count, step_size)]
    meta = ak.Array(empty.layout.to_typetracer(forget_length=True))
    read = _ReadRange(pedestals_correction, index, None if channels is None else tuple(map(operator.index, channels)))
    if not parts:
        # No event at all: one empty partition, of known length 0.
        return dak.from_map(read, [(opened[0][0], 0, 0)], label="vintrel-arrays", meta=meta, divisions=(0, 0))
    return dak.from_map(read, parts, label="vintrel-arrays", meta=meta)


def export_csv(acquisitions: AcquisitionLike | Sequence[AcquisitionLike], out_dir: str | os.PathLike[str],
               pedestals_correction: bool = False) -> Delayed:
    """The CSV export of whole acquisitions as a Dask graph, one task per file.

    Acquisition ``a`` is written into ``out_dir/<a's name>``, or, when
    several acquisitions share that name, ``out_dir/<name>-<k>``, k counting
    those acquisitions from 0 in the order given (a clash with another
    acquisition's directory is a ValueError). Each directory receives exactly
    the files ``vintrel.export_csv(a, range(len(a)), directory,
    pedestals_correction)`` writes, created as needed; a file appears only
    complete, so a task retried after its worker died leaves no torn file.

    Computed (on any scheduler), the result is a list of ExportedFile, one
    per file written, by acquisition and then file number. Every call makes
    new tasks: computing a second export writes its files again, even while
    the result of an earlier one with the same arguments is held.
    """
    opened = _opened(acquisitions)
    targets = _target_dirs(os.path.abspath(os.fsdecode(out_dir)), [os.path.basename(path) for path, _ in opened])
    # A task that writes files is never answered from memory: each call
    # gets keys of its own.
    write = delayed(_write_file, pure=False)
    files = []
    for (path, acq), target in zip(opened, targets):
        count = len(acq)
        for k, start in enumerate(range(0, count, FILE_EVENTS)):
            files.append(write(path, range(start, min(start + FILE_EVENTS, count)), k, target,
                               pedestals_correction))
    result: Delayed = delayed(list, pure=True)(files)
    return result


# --- building ---------------------------------------------------------------

def _opened(acquisitions: AcquisitionLike | Sequence[AcquisitionLike]) -> list[tuple[str, vintrel.Acquisition]]:
    """(absolute path, Acquisition) of each acquisition asked for, in order."""
    items = [acquisitions] if isinstance(acquisitions, (str, os.PathLike, vintrel.Acquisition)) else acquisitions
    opened = []
    for item in items:
        acq = item if isinstance(item, vintrel.Acquisition) else vintrel.Acquisition(os.fsdecode(item))
        # The path as pickling carries it (os.fsdecode's text of the bytes).
        path = acq.__reduce__()[1][0]
        opened.append((os.path.abspath(path), acq))
    if not opened:
        raise ValueError("no acquisition given")
    return opened


def _common_empty_array(opened: list[tuple[str, vintrel.Acquisition]], index: bool) -> Any:
    """A length-0 awkward.Array of the acquisitions' one record type. Reading
    no events, it takes its fields from the board model alone."""
    first_path, first = opened[0]
    empty = _with_provenance(first.arrays(range(0)), first_path, index)
    for path, acq in opened[1:]:
        other = _with_provenance(acq.arrays(range(0)), path, index)
        if other.layout.form != empty.layout.form:
            raise ValueError(f"acquisitions of different record types cannot share one array: {path} has "
                             f"{other.type.content}, {first_path} has {empty.type.content}")
    return empty


def _target_dirs(out_dir: str, names: list[str]) -> list[str]:
    """The output directory of each acquisition: its name, suffixed by its
    position among those of the same name when it is not unique."""
    counts = Counter(names)
    seen: Counter[str] = Counter()
    dirs = []
    for name in names:
        if counts[name] > 1:
            dirs.append(f"{name}-{seen[name]}")
            seen[name] += 1
        else:
            dirs.append(name)
    clashes = [d for d, n in Counter(dirs).items() if n > 1]
    if clashes:
        raise ValueError(f"acquisitions would share the output directory {os.path.join(out_dir, clashes[0])!r}")
    return [os.path.join(out_dir, d) for d in dirs]


# --- tasks ------------------------------------------------------------------

_Result = TypeVar("_Result")


def _ordinary_failures(task: Callable[..., _Result]) -> Callable[..., _Result]:
    """Runs `task` so that it fails only with an Exception (or an interrupt):
    any other BaseException, such as the reader's PanicException, escapes
    the handling of a scheduler's event loop and leaves the computation
    waiting forever."""

    @functools.wraps(task)
    def run(*args: Any) -> _Result:
        try:
            return task(*args)
        except (Exception, KeyboardInterrupt, SystemExit):
            raise
        except BaseException as error:
            raise RuntimeError(f"internal failure: {type(error).__name__}: {error}") from error

    return run


def _with_provenance(events: vintrel.EventArrays, path: str, index: bool) -> Any:
    """events.to_awkward(), with the "acquisition" field after "index" when
    `index` is set. The name is stored as the bytes of the directory's name,
    which reads back as the Acquisition's own name."""
    array = events.to_awkward(index=index)
    if not index:
        return array
    name = os.fsencode(os.path.basename(path))
    count = len(events)
    chars = ak.contents.NumpyArray(np.frombuffer(name * count, dtype=np.uint8), parameters={"__array__": "char"})
    names = ak.contents.ListOffsetArray(ak.index.Index64(np.arange(count + 1, dtype=np.int64) * len(name)), chars,
                                        parameters={"__array__": "string"})
    layout = array.layout
    contents = [layout.content("index"), names, *(layout.content(f) for f in layout.fields if f != "index")]
    fields = ["index", "acquisition", *(f for f in layout.fields if f != "index")]
    return ak.Array(ak.contents.RecordArray(contents, fields, length=count))


def _reopen(path: str) -> vintrel.Acquisition:
    """The acquisition at `path`, as it is now; FileNotFoundError naming the
    path when it is no longer one."""
    try:
        return vintrel.Acquisition(path)
    except FileNotFoundError as exc:
        raise FileNotFoundError(errno.ENOENT, "no longer an acquisition", path) from exc


class _ReadRange:
    """A partition of arrays(): one range of one acquisition's events."""

    def __init__(self, pedestals_correction: bool, index: bool = False,
                 channels: tuple[int, ...] | None = None) -> None:
        self.pedestals_correction = pedestals_correction
        self.index = index
        self.channels = channels

    def __call__(self, part: tuple[str, int, int]) -> Any:
        return _ordinary_failures(self._read)(part)

    def _read(self, part: tuple[str, int, int]) -> Any:
        """The events start:stop of the acquisition at path, as an awkward array."""
        path, start, stop = part
        options: dict[str, Any] = {} if self.channels is None else {"channels": self.channels}
        events = _reopen(path).arrays(range(start, stop), pedestals_correction=self.pedestals_correction, **options)
        return _with_provenance(events, path, self.index)


@_ordinary_failures
def _write_file(path: str, indices: range, k: int, target: str, pedestals_correction: bool) -> ExportedFile:
    """File k of an acquisition's export. vintrel.export_csv writes the
    file's events as a file numbered 0 (its bytes do not depend on the
    number) into a staging directory of this attempt's own, from which it is
    renamed into place."""
    acq = _reopen(path)
    name = acq.name
    os.makedirs(target, exist_ok=True)
    final = os.path.join(target, f"{name} (chunk {k}).csv")
    _staging.remove_abandoned(target, name, k)
    with _staging.Staging(target, name, k) as staging:
        vintrel.export_csv(acq, indices, staging.path, pedestals_correction)
        os.replace(os.path.join(staging.path, f"{name} (chunk 0).csv"), final)
    # The events left out are those Acquisition.arrays() cannot read, parse
    # or correct: the export's own rule, which its files do not record. An
    # absent pedestal file means no correction to both; arrays() would warn
    # about it where the export does not, so it is not asked to correct then.
    correct = pedestals_correction and os.path.lexists(os.path.join(path, "pedestals_calibration"))
    left_out = acq.arrays(indices, pedestals_correction=correct).errors
    return ExportedFile(final, path, indices, tuple(index for index, _ in left_out))
