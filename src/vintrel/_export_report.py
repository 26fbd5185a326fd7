"""What an export wrote: the files, the events each holds, the events left out.

The CSV export cuts its index list into files of 1000 indices: file k holds
what it could write of indices ``1000 k`` to ``1000 k + 999`` of the list,
and numbers its events 0, 1, 2, ... over those it wrote (the ``evt_num``
column). Events it cannot read, parse or correct are left out without a
mark, so a file's row ``evt_num = j`` is the j-th index of that file that
was written. An ExportReport keeps exactly that mapping, so that every row
can be traced back to its acquisition and event.

`export()` is the package's export with such a report; the command line
writes the same report, as JSON, beside its files ("export.json").
"""

from __future__ import annotations

import errno
import json
import operator
import os
import warnings
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, SupportsIndex

import vintrel

__all__ = ["ExportReport", "LeftOutEvent", "WrittenFile", "export"]

EVENTS_PER_FILE = 1000  # indices per file, as export_csv cuts its list
FORMAT = "vintrel export report 1"

# Why an event was left out, as the command line says it.
UNREADABLE = "could not be read"
UNPARSABLE = "could not be parsed"
UNCORRECTABLE = "could not be corrected with the pedestal table"
# How Acquisition.arrays() names an event the pedestal table cannot correct.
CORRECTION_FAILED = "pedestal correction failed"


@dataclass(frozen=True)
class WrittenFile:
    """One file of an export.

    Attributes:
        path: the file.
        indices: the acquisition indices of the events it holds, in its
            order: the event with ``evt_num`` j is ``indices[j]``.
        requested: the indices the file was to hold.
    """

    path: str
    indices: Sequence[int]
    requested: Sequence[int]

    def __repr__(self) -> str:
        return f"<WrittenFile {os.path.basename(self.path)!r}: {len(self.indices)} of {len(self.requested)} events>"


@dataclass(frozen=True)
class LeftOutEvent:
    """An event asked for that no file holds.

    Attributes:
        index: its acquisition index.
        path: the file it was to go to.
        reason: UNREADABLE, UNPARSABLE or UNCORRECTABLE (the texts above).
        error: the exception reading it raised (as ``acq[index]`` raises it,
            or a ValueError when its pedestal correction failed).
    """

    index: int
    path: str
    reason: str
    error: BaseException


@dataclass(frozen=True)
class ExportReport:
    """What an export wrote; `to_dict()` / `to_json()` give the same as data.

    Attributes:
        acquisition: the acquisition's path; name: its name.
        out_dir: the directory the files were written to.
        version: the vintrel version that wrote them.
        pedestals_requested: whether pedestal correction was asked for.
        pedestals_applied: whether it was done (a usable pedestals file).
        files: the files written, in order (WrittenFile).
        left_out: the events left out, in the order asked (LeftOutEvent).
    """

    acquisition: str
    name: str
    out_dir: str
    version: str
    pedestals_requested: bool
    pedestals_applied: bool
    files: tuple[WrittenFile, ...]
    left_out: tuple[LeftOutEvent, ...]

    @property
    def events(self) -> int:
        """The number of events written, over all files."""
        return sum(len(f.indices) for f in self.files)

    @property
    def requested(self) -> int:
        """The number of indices asked for."""
        return sum(len(f.requested) for f in self.files)

    def __repr__(self) -> str:
        return (f"<ExportReport {self.name!r}: {self.events:,} of {self.requested:,} events in "
                f"{len(self.files):,} files in {self.out_dir!r}, {len(self.left_out):,} left out>")

    def to_dict(self) -> dict[str, Any]:
        """The report as JSON types. File names are relative to "out_dir";
        each file's indices are runs ``[start, stop]`` or ``[start, stop,
        step]``, read as ``range(*run)`` and concatenated in order."""
        return {
            "format": FORMAT,
            "acquisition": {"path": self.acquisition, "name": self.name},
            "vintrel": self.version,
            "pedestals": {"requested": self.pedestals_requested, "applied": self.pedestals_applied},
            "out_dir": self.out_dir,
            "evt_num": "row evt_num j of a file is the j-th index of its runs, each run read as range(*run)",
            "files": [{"file": os.path.basename(f.path), "events": len(f.indices), "requested": len(f.requested),
                       "indices": runs(f.indices)} for f in self.files],
            "left_out": [{"index": e.index, "file": os.path.basename(e.path), "reason": e.reason,
                          "error": f"{type(e.error).__name__}: {e.error}"} for e in self.left_out],
        }

    def to_json(self, indent: int | None = 1) -> str:
        """`to_dict()` as JSON text. Names that are not valid UTF-8 appear
        with their undecodable bytes as escaped surrogates ("\\udce9"), which
        json.loads and os.fsencode turn back into the bytes."""
        return json.dumps(self.to_dict(), indent=indent)


def runs(indices: Sequence[int]) -> list[list[int]]:
    """`indices` as arithmetic runs, ``range(*run)`` giving them back in order:
    [1500, ..., 1509] -> [[1500, 1510]], [10, 13, 16] -> [[10, 19, 3]]."""
    if isinstance(indices, range) and indices:
        return [_run(indices.start, indices.step, len(indices))]
    out: list[list[int]] = []
    i, n = 0, len(indices)
    while i < n:
        start = indices[i]
        step = indices[i + 1] - start if i + 1 < n else 1
        count = 1
        if step != 0:
            while i + count < n and indices[i + count] - indices[i + count - 1] == step:
                count += 1
        out.append(_run(start, step if count > 1 else 1, count))
        i += count
    return out


def _run(start: int, step: int, count: int) -> list[int]:
    """A run of indices as export.json stores it: [start, stop] or [start, stop, step], read with range(*run)."""
    stop = start + step * count
    return [start, stop] if step == 1 else [start, stop, step]


def file_name(name: str, k: int, suffix: str = ".csv") -> str:
    """The name of file k of an export of acquisition `name`."""
    return f"{name} (chunk {k}){suffix}"


def split(indices: Sequence[int]) -> list[Sequence[int]]:
    """The index list cut as the export cuts it: the indices of each file."""
    return [indices[start:start + EVENTS_PER_FILE] for start in range(0, len(indices), EVENTS_PER_FILE)]


def pedestals_applied(acq: vintrel.Acquisition) -> bool:
    """Whether a correction asked for is done: the pedestals file is there
    and usable (the reasons it is not are the export's own warning)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return bool(acq.arrays([], pedestals_correction=True).pedestals_corrected)


def reason_of(error: BaseException) -> str:
    """Why an event was left out: unreadable, unparsable or uncorrectable."""
    if isinstance(error, ValueError) and str(error).startswith(CORRECTION_FAILED):
        return UNCORRECTABLE
    if isinstance(error, (IndexError, OSError)):
        return UNREADABLE
    return UNPARSABLE


def events_in_csv(path: str | os.PathLike[str]) -> int:
    """Events written to an export file: the position on its last row, plus
    one (the file is read from its end). An event without rows at the very
    end of a file is not counted."""
    with open(path, "rb") as f:
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


def build(acq: vintrel.Acquisition, out_dir: str, files: Sequence[Sequence[int]], paths: Sequence[str],
          counts: Iterable[int], pedestals_requested: bool, pedestals_applied: bool) -> ExportReport:
    """The report of an export whose file k, `paths[k]`, was to hold
    `files[k]` and shows `counts[k]` events. A file that shows all its
    events holds them all; the events of one that came up short are read
    again with Acquisition.arrays(), which leaves out the same events as
    the export and says why."""
    written: list[WrittenFile] = []
    left_out: list[LeftOutEvent] = []
    for requested, path, count in zip(files, paths, counts):
        if count >= len(requested):
            written.append(WrittenFile(path, requested, requested))
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # an unusable pedestal file: the export's to say
            events = acq.arrays(requested, pedestals_correction=pedestals_requested)
        held = tuple(events.index.tolist())
        if count > len(held):
            warnings.warn(f"{path} holds {count} events, but only {len(held)} of its {len(requested)} events can "
                          "be read now: the acquisition changed during the export, and the indices reported for "
                          "this file may be wrong", RuntimeWarning, stacklevel=3)
        written.append(WrittenFile(path, held, requested))
        left_out += [LeftOutEvent(index, path, reason_of(error), error) for index, error in events.errors]
    return ExportReport(acquisition=acq.path, name=acq.name, out_dir=out_dir, version=vintrel.__version__,
                        pedestals_requested=pedestals_requested, pedestals_applied=pedestals_applied,
                        files=tuple(written), left_out=tuple(left_out))


def chosen_indices(acq: vintrel.Acquisition, indices: Iterable[SupportsIndex] | slice) -> Sequence[int]:
    """The indices asked for as a sequence: a slice over the events there
    are now, a range as it is, anything else as a list of integers."""
    if isinstance(indices, slice):
        return range(len(acq))[indices]
    if isinstance(indices, range):
        return indices
    return [operator.index(i) for i in indices]


def refuse_existing(paths: Iterable[str], hint: str) -> None:
    """FileExistsError naming the first of `paths` that exists (a dangling
    link included)."""
    for path in paths:
        if os.path.lexists(path):
            raise FileExistsError(errno.EEXIST, f"File exists ({hint})", path)


def export(acq: vintrel.Acquisition, indices: Iterable[SupportsIndex] | slice, out_dir: str | os.PathLike[str], *,
           pedestals_correction: bool = False, overwrite: bool = False) -> ExportReport:
    """Exports events to CSV files as ``vintrel.export_csv`` does, and says
    where each event went.

    The files and their bytes are those of ``export_csv(acq, indices,
    out_dir, pedestals_correction)``: file k, ``"<name> (chunk k).csv"``,
    holds indices ``1000 k`` to ``1000 k + 999`` of the list, less those
    that cannot be read, parsed or corrected. `indices` may also be a
    slice (over the events there are when called) or a range.

    Unless `overwrite` is true, nothing is written when one of the files
    exists already: FileExistsError names it. The directory must exist.

    Returns an ExportReport: each file with the indices it holds (its
    ``evt_num`` j is ``indices[j]``), and each event left out with the
    reason. Raises what export_csv raises; files written before a failure
    stay.
    """
    chosen = chosen_indices(acq, indices)
    directory = os.fsdecode(out_dir)
    files = split(chosen)
    paths = [os.path.join(directory, file_name(acq.name, k)) for k in range(len(files))]
    if not overwrite:
        refuse_existing(paths, "overwrite=True replaces it")
    applied = pedestals_correction and pedestals_applied(acq)
    vintrel.export_csv(acq, chosen, directory, pedestals_correction)
    return build(acq, directory, files, paths, map(events_in_csv, paths), pedestals_correction, applied)
