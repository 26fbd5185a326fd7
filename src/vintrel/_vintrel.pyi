"""Reads the acquisition directories of waveform-digitizer boards.

An acquisition is a directory holding ``metadata.yml`` (the board's model and
settings), numbered chunk files ``<n>.bin`` / ``<n>.idx`` with the raw events,
and optional side files (gzip-compressed pickles): ``readout_metadata``,
``pedestals_calibration``, ``timing_calibration`` and ``adc2mv_calibration``.

Units: a parsed event's ``data`` are ADC counts (pedestal-subtracted only
where a call says so), its ``time`` values are sample indices. The timing and
ADC-to-mV calibrations are handed over as decoded from their side files and
are never applied.
"""

import os
import types
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Literal, SupportsIndex, TypeAlias, TypedDict, final, overload

from _typeshed import ReadableBuffer

from ._batches import EventBatch
from ._columnar import EventArrays

__all__ = [
    "Acquisition",
    "list_acquisitions",
    "is_acquisition",
    "export_csv",
    "syndrome",
    "global_parity",
    "syndrome_to_index",
    "ecc_check",
    "ecc_correct",
]

# A path: a str or any os.PathLike (pathlib.Path, os.DirEntry, ...), used as
# given (not made absolute, not resolved). Bytes themselves are refused.
_Path: TypeAlias = str | os.PathLike[str] | os.PathLike[bytes]

class _RawEvent(TypedDict):
    """The bytes of one event as recorded, and its index (twice)."""

    rawdata: bytes
    pkg_num: int
    event_num: int

# One entry of a parsed event's "ecc_errors" lists:
# (offset, position, word, corrected word, bit).
_EventEccError: TypeAlias = tuple[int, int, int, int, int]

class _ParsedEvent(TypedDict):
    """One parsed event; every list has one entry per channel, in channel order.

    ``data[c]`` are channel c's samples in ADC counts, as recorded (floats);
    ``time[c]`` the position of each sample on the event's time axis, in
    sample indices; ``window_labels[c]`` the labels of the readout windows the
    samples came from. A channel without data has three empty lists.
    ``timing`` holds per-packet timing values for boards whose events carry
    them (pikorv1 family), ``ecc_errors`` the ECC findings of ostra96 events;
    both are None for other boards.
    """

    data: list[list[float]]
    window_labels: list[list[int]]
    time: list[list[int]]
    timing: list[list[int]] | None
    ecc_errors: list[list[_EventEccError]] | None

# One finding of ecc_check: (offset, position, word, corrected word, bit, correctable).
_BlockEccError: TypeAlias = tuple[int, int, int, int, int, int]

@final
class Acquisition:
    """A Pythonic wrapper around the native Acquisition reader class.

    Opens the acquisition directory ``root`` and reads ``metadata.yml``
    (through ``yaml.safe_load`` for `metadata`, and natively for parsing).
    Every other call reads the directory as it is at that moment, so events
    appended by a recording that is still running are seen by later calls.

    Events are numbered over all chunks in chunk order: the events of chunk 0
    first, then those of chunk 1, and so on. Indexing takes an int (negative
    values are refused, they do not count from the end) or a slice; iteration
    yields parsed events from index 0.

    Units: ``data`` in ADC counts, ``time`` in sample indices. The
    ``timing_calibration`` and ``adc_to_mv_calibration`` side files are
    returned as decoded and never applied; ``pedestals_calibration`` is
    subtracted only where asked (`arrays`, `export_csv`).

    Args:
        root: The acquisition directory: a str or any os.PathLike.

    Raises:
        FileNotFoundError: "Invalid path": ``root`` is not an acquisition
            directory (no ``metadata.yml`` in it).
        OSError: ``metadata.yml`` cannot be read.
        yaml.YAMLError: ``metadata.yml`` is not valid YAML.
        vintrel.errors.MetadataError: the document does not describe an
            acquisition.
        TypeError: ``root`` is neither a str nor an os.PathLike.

    Examples:
        >>> with vintrel.Acquisition("/data/run7") as acq:
        ...     print(acq)
        ...     event = acq[0]
        <vintrel.Acquisition 'run7' merrowv3, 3 chunks, 2,500 events at '/data/run7'>
    """

    def __new__(cls, root: _Path) -> Acquisition: ...
    @property
    def is_valid(self) -> bool:
        """Check if the folder is a valid acquisition.

        Whether the directory is still an acquisition, looked at on every access.
        """

    @property
    def path(self) -> str:
        """Get the path to the acquisition directory.

        The path exactly as given to the constructor, as a str.
        """

    @property
    def name(self) -> str:
        """Get the name of the acquisition.

        The last component of the path (trailing slashes ignored).
        """

    @property
    def chunk_count(self) -> int:
        """Get the number of chunks in the acquisition

        Chunks 0, 1, 2, ... up to the first one that does not exist.
        """

    @property
    def metadata(self) -> Any:
        """Read the metadata from the acquisition.

        ``metadata.yml`` as ``yaml.safe_load`` read it at construction: the
        same object on every access (changes made to it are kept).
        """

    @property
    def params(self) -> dict[str, Any]:
        """Get acquisition params.

        ``metadata["params"]``: the board ``model``, ``channels``,
        ``windows``, ``samples`` and the board's optional constants.

        Raises:
            KeyError: the metadata has no "params".
            TypeError: the metadata is not a mapping.
        """

    @property
    def readout_metadata(self) -> Any:
        """Read the readout metadata from the acquisition.

        The ``readout_metadata`` side file, decoded (gzip, then a pickle of
        plain data); None when the file is absent. Read anew on every access.
        """

    @property
    def pedestals_calibration(self) -> Any:
        """Read pedestals calibration from the acquisition.

        The ``pedestals_calibration`` side file, decoded; None when absent.
        Its table, in ADC counts, is what `arrays` and `export_csv` subtract
        when asked to.
        """

    @property
    def adc_to_mv_calibration(self) -> Any:
        """Read ADC to mV calibration from the acquisition.

        The ``adc2mv_calibration`` side file, decoded; None when absent. It is
        handed over as decoded and never applied: ``data`` stays in ADC
        counts.
        """

    @property
    def timing_calibration(self) -> Any:
        """Read timing calibration from the acquisition.

        The ``timing_calibration`` side file, decoded; None when absent. It is
        handed over as decoded and never applied: ``time`` stays in sample
        indices.
        """

    def raw_event(self, index: int) -> _RawEvent:
        """Fetch a raw event as `bytes`.

        Args:
            index: The event's acquisition-wide index, from 0.

        Returns:
            ``{"rawdata": bytes, "pkg_num": index, "event_num": index}``.

        Raises:
            IndexError: "Index out of bounds": no such event.
            OverflowError: ``index`` is negative.
            TypeError: ``index`` is not an int.

        Examples:
            >>> len(acq.raw_event(0)["rawdata"])
            5336
        """

    def parsed_event(self, index: int) -> _ParsedEvent:
        """Fetch a parsed event.

        The board's raw format is decoded natively; no companion package of
        the acquisition software is required. Same as ``acq[index]``.

        Args:
            index: The event's acquisition-wide index, from 0.

        Returns:
            The event: ``data`` (ADC counts, not pedestal-subtracted),
            ``window_labels``, ``time`` (sample indices), ``timing`` and
            ``ecc_errors``, each a list per channel.

        Raises:
            vintrel.errors.ParsingError: the board's parser refuses the
                event's bytes, or the model names no supported board.
            IndexError: "Index out of bounds": no such event.
            OverflowError: ``index`` is negative.

        Examples:
            >>> event = acq.parsed_event(0)
            >>> event["data"][2][:3], event["time"][2][:3]
            ([812.0, 815.0, 809.0], [0, 1, 2])
        """

    def arrays(
        self,
        indices: Iterable[SupportsIndex] | slice | None = None,
        *,
        pedestals_correction: bool = False,
        channels: Iterable[SupportsIndex] | None = None,
    ) -> EventArrays:
        """Read events into flat numpy arrays: an EventArrays.

        Events that cannot be read, parsed or corrected are left out and
        listed in ``.errors`` with the exception ``acq[index]`` would raise.
        The interpreter lock is released while events are read, on several
        threads for large requests; Ctrl-C (a signal handler that raises)
        stops the read and propagates.

        Args:
            indices: None (every event there is now), a slice (as
                ``acq[a:b:c]`` takes it), a range, or any iterable of ints.
            pedestals_correction: Subtract the pedestals of
                ``pedestals_calibration``, as `export_csv` does. Without a
                usable file the events are read uncorrected, with a
                RuntimeWarning.
            channels: None (every channel) or distinct channel numbers, any
                iterable of ints: only those channels are stored, in the
                order given. An event that lacks one of them is listed in
                ``.errors`` with an IndexError.

        Returns:
            The events: ``data`` (float32, ADC counts), ``time`` (uint16,
            sample indices), ``window_labels`` with their offsets, ``index``
            (the index of each event read) and ``errors``.

        Raises:
            IndexError: a slice with a negative step.
            OverflowError: a negative index or channel.
            TypeError: ``indices`` or ``channels`` is not iterable, or holds
                non-integers.
            ValueError: a channel is given twice.

        Examples:
            >>> arrays = acq.arrays(slice(0, 1000), pedestals_correction=True)
            >>> arrays.to_numpy()["data"].shape
            (1000, 4, 1024)
        """

    def follow(
        self,
        start: SupportsIndex | None = None,
        *,
        step_size: SupportsIndex = 1000,
        timeout: float | None = None,
        poll: float = 0.5,
        channels: Iterable[SupportsIndex] | None = None,
        pedestals_correction: bool = False,
    ) -> Iterator[EventArrays]:
        """Iterate over the events recorded after `start`, in batches.

        Each event comes exactly once and in order, across appends and new
        chunks, and only once its bytes are all written: an index entry that
        points beyond its data file's end is waited for, not reported.

        Args:
            start: None for the events recorded from now on (like ``tail -f``),
                or the index of the first event to give (0: from the beginning).
            step_size: The largest number of events in one batch.
            timeout: Seconds without a new event after which the iteration
                ends (None: never). Events still unreadable then are reported
                in the last batch's ``errors``.
            poll: The longest wait in seconds between two looks at the
                directory; file-system notifications wake it sooner.
            channels: Passed on to `arrays()` when given.
            pedestals_correction: Passed on to `arrays()`.

        Yields:
            EventArrays batches as `arrays()` reads them; events that cannot
            be parsed are in their ``errors``.

        Raises:
            FileNotFoundError: The acquisition was removed while followed.

        A KeyboardInterrupt (Ctrl-C) while it waits or reads ends the
        iteration without an error.
        """

    def __len__(self) -> int:
        """The number of events in the acquisition now."""

    @overload
    def __getitem__(self, index: SupportsIndex, /) -> _ParsedEvent: ...
    @overload
    def __getitem__(self, index: slice, /) -> list[_ParsedEvent]: ...
    def __iter__(self) -> _IterEvents:
        """Parsed events from index 0.

        Iteration ends at the first event that cannot be fetched or parsed.
        When that event exists (its index is below ``len(acq)``) a
        RuntimeWarning names it and the reason; the end of the events, as
        met while a recording is still running, ends it quietly.
        """

    def __enter__(self) -> Acquisition:
        """The acquisition itself: ``with vintrel.Acquisition(p) as acq:``."""

    def __exit__(
        self,
        exc_type: type[BaseException] | None = None,
        exc_value: BaseException | None = None,
        traceback: types.TracebackType | None = None,
        /,
    ) -> Literal[False]:
        """Releases what the object remembers between calls (the chunk list of
        its last scan). The object stays usable: later calls read the
        directory again. Exceptions raised in the block pass on."""

    def _repr_html_(self) -> str:
        """An HTML table for notebooks: model, board, chunks, events, params
        and the side files present."""

    def iterate(
        self,
        step_size: int | str = 10000,
        *,
        start: int = 0,
        stop: int | None = None,
        channels: Iterable[SupportsIndex] | None = None,
        pedestals_correction: bool = False,
    ) -> Iterator[EventBatch]:
        """Read events in batches of consecutive indices.

        Each batch is ``arrays(range(a, b), ...)`` for the next run of
        indices, as an EventBatch (an EventArrays that also names its
        acquisition and the indices it was asked for). The next batch is read
        on a background thread while the caller works on the current one,
        never more than one ahead, so at most three batches' arrays are alive
        at once. Together the batches are ``arrays(range(start, stop))``:
        the same index, errors and columns.

        Args:
            step_size: events per batch, or a size such as ``"100 MB"`` (units
                B, kB, MB, GB, TB in powers of 1000 and KiB, MiB, GiB, TiB in
                powers of 1024, any letter case). A size becomes a number of
                events from the arrays of the first events that can be read
                (up to 64), so batches of events of another size than those
                are larger or smaller than asked.
            start: the first index.
            stop: the index to stop before; None for the event count when the
                call is made (events recorded later are not read). Indices at
                or beyond the count are listed in the batches' errors.
            channels: passed to ``arrays()`` when given.
            pedestals_correction: subtract the pedestals, as ``arrays()`` does.
                A pedestal file that cannot be used is warned about once, when
                the first batch is due.

        Returns:
            An iterator of EventBatch; arguments are checked when called,
            reading starts with the first ``next()``. Closing it waits for a
            read under way.

        Raises:
            TypeError: a step_size, start or stop of the wrong type.
            ValueError: a step_size below one event or byte, a size string
                that is not one, a negative start or stop.

        Examples:
            >>> for batch in acq.iterate("100 MB"):
            ...     totals = batch.data.sum()
        """
    # Pickled as its path; unpickling and copying open the acquisition again.
    def __reduce__(self) -> tuple[type[Acquisition], tuple[str]]: ...
    def __copy__(self) -> Acquisition: ...
    def __deepcopy__(self, memo: Any, /) -> Acquisition: ...

# "vintrel.IterEvents": what iter(Acquisition) returns; not a module attribute.
@final
class _IterEvents:
    """Iterator over events in an acquisition"""

    def __new__(cls, acq: Acquisition) -> _IterEvents: ...
    def __iter__(self) -> _IterEvents: ...
    def __next__(self) -> _ParsedEvent: ...

# The exception types of the module: vintrel.errors names them (created on
# first use; not attributes of this module). Their qualified names are
# "acquisition.FullChunkError", "acquisition.MetadataError",
# "acquisition.ParsingError" and "acquisition.ExportError".
class _FullChunkError(Exception): ...
class _MetadataError(Exception): ...
class _ParsingError(Exception): ...
class _ExportError(Exception): ...

class PanicException(BaseException):
    """A violated internal expectation; deliberately not a subclass of
    Exception, so that ``except Exception`` lets it through."""

def list_acquisitions(root_dir: _Path) -> list[Acquisition]:
    """List all acquisitions in a directory.

    The acquisitions among the entries of ``root_dir``, opened; entries that
    are not acquisitions, or that cannot be opened, are left out.

    Args:
        root_dir: A directory: a str or any os.PathLike.

    Returns:
        An Acquisition per acquisition directory found.

    Raises:
        TypeError: ``root_dir`` is neither a str nor an os.PathLike.

    Examples:
        >>> [acq.name for acq in vintrel.list_acquisitions("/data")]
        ['run6', 'run7']
    """

def is_acquisition(path: _Path) -> bool:
    """Check if a folder is a valid acquisition.

    Args:
        path: A str or any os.PathLike.

    Returns:
        Whether ``path`` is a directory holding a ``metadata.yml`` file.

    Raises:
        TypeError: ``path`` is neither a str nor an os.PathLike.

    Examples:
        >>> vintrel.is_acquisition("/data/run7")
        True
    """

def export_csv(
    acq: Acquisition, indices: Sequence[SupportsIndex] | range | slice, out_dir: _Path, pedestals_correction: bool
) -> None:
    """Export events to CSV files in ``out_dir``, 1000 events per file.

    The files are named "<name> (chunk <k>).csv" after the acquisition, k
    counting the files of this call from 0; existing files of those names are
    replaced. Values are ADC counts, pedestal-subtracted when asked; events
    that cannot be read, parsed or corrected are left out (``acq.arrays()``
    lists them with their reasons). A channel whose samples do not fit the
    rows of its event prints a "Bad channel" line on standard output. The
    interpreter lock is released during the export.

    Args:
        acq: The acquisition.
        indices: The events to export, in this order: a sequence of ints (a
            list, tuple, range, ...), or a slice, which selects as
            ``acq[a:b:c]`` does among the events there are now.
        out_dir: An existing directory: a str or any os.PathLike.
        pedestals_correction: Subtract the pedestals of
            ``pedestals_calibration`` (a real bool). Without a usable file the
            export is written uncorrected, with a RuntimeWarning.

    Raises:
        vintrel.errors.ExportError: "Could not export: ...", e.g. "invalid
            path" when ``out_dir`` does not exist.
        vintrel.errors.MetadataError: ``metadata.yml`` cannot be read as
            metadata.
        TypeError: an argument of the wrong type ("argument '<name>': ...").
        OverflowError: a negative index.
        IndexError: a slice with a negative step.

    Examples:
        >>> os.makedirs("/tmp/out", exist_ok=True)
        >>> vintrel.export_csv(acq, range(len(acq)), "/tmp/out", True)
    """

def syndrome(data: int) -> list[int]:
    """Calculate the syndrome for a given 16-bit data word.

    Args:
        data: The 16-bit data word (0 to 65535).

    Returns:
        The four syndrome bits [s0, s1, s2, s3] of the ostra96 code, each 0 or 1.

    Raises:
        OverflowError: ``data`` is outside 0 to 65535.

    Examples:
        >>> vintrel.syndrome(0x0001)
        [1, 1, 0, 0]
    """

def global_parity(data: int) -> int:
    """Calculate the global parity for a 16-bit data word.

    Args:
        data: The 16-bit data word (0 to 65535).

    Returns:
        The XOR of all 16 bits of the word: 0 or 1.

    Examples:
        >>> vintrel.global_parity(0x8000)
        1
    """

def syndrome_to_index(s: Sequence[int]) -> int | None:
    """Convert a syndrome to an index based on the corrections.

    Args:
        s: The four syndrome bits [s0, s1, s2, s3].

    Returns:
        The position of the bit the syndrome points at, or None for a
        syndrome that points at none (all zero, or elements above 1).

    Raises:
        ValueError: ``s`` does not have four elements.

    Examples:
        >>> vintrel.syndrome_to_index([1, 1, 0, 0])
        0
    """

def ecc_check(raw_bytes: ReadableBuffer | Sequence[int]) -> list[_BlockEccError]:
    """Check the error-correcting code of an ostra96 data block.

    Args:
        raw_bytes: The block: bytes, bytearray, a buffer or a sequence of
            ints 0 to 255 (a str is refused).

    Returns:
        One (offset, position, word, corrected, bit, correctable) tuple per
        word whose code shows an error, in channel order; correctable is 1
        for a single-bit error that `ecc_correct` repairs.

    Examples:
        >>> vintrel.ecc_check(acq.raw_event(0)["rawdata"])
        []
    """

def ecc_correct(raw_bytes: ReadableBuffer | Sequence[int]) -> bytearray:
    """Correct the single-bit errors of an ostra96 data block.

    Args:
        raw_bytes: The block, as for `ecc_check`; it is not changed.

    Returns:
        A corrected copy: each correctable word `ecc_check` finds is
        replaced by its corrected value.

    Examples:
        >>> fixed = vintrel.ecc_correct(acq.raw_event(0)["rawdata"])
    """

def _parquet_pages(
    outer: ReadableBuffer,
    inner: ReadableBuffer,
    values: ReadableBuffer,
    split_floats: bool,
    levels: Sequence[int],
    page_bytes: int,
) -> list[tuple[bytes, int, int]]:
    """Parquet data page bodies (levels, then values; uncompressed) of a
    large_list<large_list<float32 | uint16>> column without nulls, given its
    int64 offsets and values; pages end at events. Private to the package."""
