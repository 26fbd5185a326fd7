# Types of the native module vintrel._vintrel, re-exported by the package.
from collections.abc import Iterable, Sequence
from pathlib import Path
from typing import Any, SupportsIndex, TypeAlias, TypedDict, final, overload

from _typeshed import ReadableBuffer

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

# Paths are taken as str or pathlib.Path (other os.PathLike objects are refused).
_Path: TypeAlias = str | Path

class _RawEvent(TypedDict):
    rawdata: bytes
    pkg_num: int
    event_num: int

# One entry of a parsed event's "ecc_errors" lists:
# (offset, position, word, corrected word, bit).
_EventEccError: TypeAlias = tuple[int, int, int, int, int]

class _ParsedEvent(TypedDict):
    data: list[list[float]]  # per channel
    window_labels: list[list[int]]
    time: list[list[int]]
    timing: list[list[int]] | None  # only boards that time their packets
    ecc_errors: list[list[_EventEccError]] | None  # only ostra96

# One finding of ecc_check: (offset, position, word, corrected word, bit, correctable).
_BlockEccError: TypeAlias = tuple[int, int, int, int, int, int]

@final
class Acquisition:
    """A Pythonic wrapper around the native Acquisition reader class."""

    def __new__(cls, root: _Path) -> Acquisition: ...
    @property
    def is_valid(self) -> bool: ...
    @property
    def path(self) -> str: ...
    @property
    def name(self) -> str: ...
    @property
    def chunk_count(self) -> int: ...
    @property
    def metadata(self) -> Any: ...  # metadata.yml as yaml.safe_load reads it
    @property
    def params(self) -> dict[str, Any]: ...
    # The side files below are None when absent.
    @property
    def readout_metadata(self) -> Any: ...
    @property
    def pedestals_calibration(self) -> Any: ...
    @property
    def adc_to_mv_calibration(self) -> Any: ...
    @property
    def timing_calibration(self) -> Any: ...
    def raw_event(self, index: int) -> _RawEvent: ...
    def parsed_event(self, index: int) -> _ParsedEvent: ...
    def arrays(
        self,
        indices: Iterable[SupportsIndex] | slice | None = None,
        *,
        pedestals_correction: bool = False,
        channels: Iterable[SupportsIndex] | None = None,
    ) -> EventArrays:
        """Read events into flat numpy arrays: an EventArrays.

        indices: None (every event), a range, a slice (as acq[a:b:c] takes it)
        or an iterable of ints. Events that cannot be read, parsed or
        corrected are left out and listed in .errors with the exception
        acq[index] would raise. With pedestals_correction, the pedestals of
        pedestals_calibration are subtracted as export_csv subtracts them.
        channels: None (every channel) or distinct channel numbers; only
        those channels are stored, in the order given, and an event that
        lacks one of them is listed in .errors with an IndexError. The
        interpreter lock is released while events are read, on several
        threads for large requests; Ctrl-C stops it.
        """
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> _ParsedEvent: ...
    @overload
    def __getitem__(self, index: slice, /) -> list[_ParsedEvent]: ...
    def __iter__(self) -> _IterEvents: ...
    # Pickled as its path; unpickling and copying open the acquisition again.
    def __reduce__(self) -> tuple[type[Acquisition], tuple[str]]: ...
    def __copy__(self) -> Acquisition: ...
    def __deepcopy__(self, memo: Any, /) -> Acquisition: ...

# "vintrel.IterEvents": what iter(Acquisition) returns; not a module attribute.
@final
class _IterEvents:
    def __new__(cls, acq: Acquisition) -> _IterEvents: ...
    def __iter__(self) -> _IterEvents: ...
    def __next__(self) -> _ParsedEvent: ...

# The exception types of the module. They are created on first use and are not
# module attributes: code meets them only as the type of a raised exception,
# under the qualified names "acquisition.FullChunkError",
# "acquisition.MetadataError", "acquisition.ParsingError" and
# "acquisition.ExportError". The private names here only document them.
class _FullChunkError(Exception): ...
class _MetadataError(Exception): ...  # metadata.yml that cannot be read as metadata
class _ParsingError(Exception): ...  # raw event bytes that the board's parser refuses
class _ExportError(Exception): ...  # export_csv failures

# A violated internal expectation; deliberately not a subclass of Exception.
class PanicException(BaseException): ...

def list_acquisitions(root_dir: _Path) -> list[Acquisition]: ...
def is_acquisition(path: _Path) -> bool: ...
def export_csv(acq: Acquisition, indices: Sequence[int], out_dir: _Path, pedestals_correction: bool) -> None: ...
def syndrome(data: int) -> list[int]: ...
def global_parity(data: int) -> int: ...
def syndrome_to_index(s: Sequence[int]) -> int | None: ...
def ecc_check(raw_bytes: ReadableBuffer | Sequence[int]) -> list[_BlockEccError]: ...
def ecc_correct(raw_bytes: ReadableBuffer | Sequence[int]) -> bytearray: ...
