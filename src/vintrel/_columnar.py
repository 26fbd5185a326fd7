"""Events as flat numpy arrays: what `Acquisition.arrays()` returns.

The layout is the Arrow / awkward list layout. Every list of the event
dictionaries becomes one flat array of values plus an int64 array of
offsets, list k being ``values[offsets[k]:offsets[k + 1]]``:

- events are lists of channels: event i holds channels
  ``channel_offsets[i]:channel_offsets[i + 1]``, counted over all events;
- channel j's samples are ``data[data_offsets[j]:data_offsets[j + 1]]``, and
  likewise its time positions (``time``, ``time_offsets``), window labels
  (``window_labels``, ``window_label_offsets``), timing values (``timing``,
  ``timing_offsets``; boards whose record has them) and ECC error records
  (``ecc_errors``, ``ecc_error_offsets``; ostra96).

The arrays are views of memory that the native reader filled; they stay
valid as long as any of them (or an array made from them) is alive.
"""

from __future__ import annotations

import importlib
from collections.abc import Iterable
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import NDArray

__all__ = ["EccErrorArrays", "EventArrays"]


class EccErrorArrays(NamedTuple):
    """The ECC error records of ostra96 channels, one array per field of the
    records' tuples (offset, position, word, corrected, bit): record k of
    channel j is at index ``ecc_error_offsets[j] + k`` of each."""

    offset: NDArray[np.int64]
    position: NDArray[np.int64]
    word: NDArray[np.uint16]
    corrected: NDArray[np.uint16]
    bit: NDArray[np.uint16]


class EventArrays:
    """Parsed events as flat numpy arrays (see the module docstring for the layout).

    Attributes:
        index: int64, the acquisition index of each event read, in the order asked.
        errors: ``(index, exception)`` for each event left out, in the order
            asked; the exception is the one ``acq[index]`` raises, or a
            ValueError when the pedestal correction of the event failed.
        channel_offsets: int64, per event (length ``len(self) + 1``).
        data: float32 samples; data_offsets: int64, per channel.
        time: uint16 time positions; time_offsets: int64, per channel (equal
            to data_offsets wherever a channel has as many times as samples).
        window_labels: uint16; window_label_offsets: int64, per channel.
        timing, timing_offsets: uint32 timing values and their int64 offsets
            per channel, for boards whose events carry timing; else None.
        ecc_errors, ecc_error_offsets: the ECC error records (EccErrorArrays)
            and their int64 offsets per channel, for ostra96; else None.
        pedestals_corrected: whether pedestals were subtracted.
    """

    __slots__ = (
        "index", "errors", "channel_offsets", "data", "data_offsets", "time", "time_offsets", "window_labels",
        "window_label_offsets", "timing", "timing_offsets", "ecc_errors", "ecc_error_offsets", "pedestals_corrected",
    )

    def __init__(
        self,
        *,
        index: NDArray[np.int64],
        errors: list[tuple[int, BaseException]],
        channel_offsets: NDArray[np.int64],
        data: NDArray[np.float32],
        data_offsets: NDArray[np.int64],
        time: NDArray[np.uint16],
        time_offsets: NDArray[np.int64],
        window_labels: NDArray[np.uint16],
        window_label_offsets: NDArray[np.int64],
        timing: NDArray[np.uint32] | None = None,
        timing_offsets: NDArray[np.int64] | None = None,
        ecc_errors: EccErrorArrays | None = None,
        ecc_error_offsets: NDArray[np.int64] | None = None,
        pedestals_corrected: bool = False,
    ) -> None:
        self.index = index
        self.errors = errors
        self.channel_offsets = channel_offsets
        self.data = data
        self.data_offsets = data_offsets
        self.time = time
        self.time_offsets = time_offsets
        self.window_labels = window_labels
        self.window_label_offsets = window_label_offsets
        self.timing = timing
        self.timing_offsets = timing_offsets
        self.ecc_errors = ecc_errors
        self.ecc_error_offsets = ecc_error_offsets
        self.pedestals_corrected = pedestals_corrected

    def __len__(self) -> int:
        """The number of events read (those in `index`)."""
        return len(self.index)

    def __repr__(self) -> str:
        """``<vintrel.EventArrays 2,500 events, 10,240,000 samples in 10,000 channels, 2 left out, pedestals
        subtracted>``: the sizes, never the values."""
        corrected = "pedestals subtracted" if self.pedestals_corrected else "not pedestal-corrected"
        return (f"<vintrel.EventArrays {len(self):,} events, {len(self.data):,} samples in "
                f"{len(self.data_offsets) - 1:,} channels, {len(self.errors):,} left out, {corrected}>")

    def _lists(self) -> dict[str, tuple[Any, NDArray[np.int64]]]:
        """Per-channel lists by field name, in the order of the event dictionaries."""
        lists: dict[str, tuple[Any, NDArray[np.int64]]] = {
            "data": (self.data, self.data_offsets),
            "window_labels": (self.window_labels, self.window_label_offsets),
            "time": (self.time, self.time_offsets),
        }
        if self.timing is not None and self.timing_offsets is not None:
            lists["timing"] = (self.timing, self.timing_offsets)
        if self.ecc_errors is not None and self.ecc_error_offsets is not None:
            lists["ecc_errors"] = (self.ecc_errors, self.ecc_error_offsets)
        return lists

    def to_numpy(self) -> dict[str, Any]:
        """Dense views of the same memory, when every event has one shape.

        Returns a dictionary with the keys of the event dictionaries that the
        board fills: ``"data"`` (float32), ``"window_labels"`` and ``"time"``
        (uint16), ``"timing"`` (uint32), each of shape (events, channels,
        values per channel), and ``"ecc_errors"``, an EccErrorArrays of such
        arrays. Raises ValueError naming the first event whose channel count
        or number of values in some channel differs from event ``index[0]``'s
        channel 0 (a ragged event 0 names itself).
        """
        events = len(self)
        counts = np.diff(self.channel_offsets)
        channels = int(counts[0]) if events else 0
        wrong = np.flatnonzero(counts != channels)
        if wrong.size:
            at = int(wrong[0])
            raise ValueError(f"events do not share one shape: event {self.index[at]} (position {at}) has "
                             f"{counts[at]} channels, event {self.index[0]} has {channels}")
        dense: dict[str, Any] = {}
        for name, (values, offsets) in self._lists().items():
            width = self._common_width(name, offsets)
            if isinstance(values, EccErrorArrays):
                dense[name] = EccErrorArrays._make(field.reshape(events, channels, width) for field in values)
            else:
                dense[name] = values.reshape(events, channels, width)
        return dense

    def _common_width(self, name: str, offsets: NDArray[np.int64]) -> int:
        """The one number of values per channel of a field, or ValueError."""
        lengths = np.diff(offsets)
        width = int(lengths[0]) if len(lengths) else 0
        wrong = np.flatnonzero(lengths != width)
        if wrong.size:
            channel = int(wrong[0])
            at = int(np.searchsorted(self.channel_offsets, channel, side="right")) - 1
            raise ValueError(f"events do not share one shape: event {self.index[at]} (position {at}) has "
                             f"{lengths[channel]} {name} values in channel {channel - self.channel_offsets[at]}, "
                             f"event {self.index[0]} has {width} in channel 0")
        return width

    def to_awkward(self, *, index: bool = False) -> Any:
        """An awkward.Array over the same memory (nothing is copied).

        Records with the fields of the event dictionaries, so that
        ``to_list()`` gives ``[acq[i] for i in self.index]``, except that
        the fields whose value is None for the board ("timing", "ecc_errors")
        are absent; ECC error records are tuples. With ``index=True`` the
        records start with one more field, ``index``: the event's index in
        the acquisition (``self.index``), which stays with each event when
        arrays are filtered or concatenated. Needs awkward 2
        (``pip install vintrel[awkward]``).
        """
        try:
            # Imported by name: awkward is optional and ships no type information.
            ak = importlib.import_module("awkward")
        except ImportError as exc:
            raise ImportError("EventArrays.to_awkward() needs awkward: pip install vintrel[awkward]") from exc
        channel_offsets = ak.index.Index64(self.channel_offsets)
        contents = []
        for values, offsets in self._lists().values():
            if isinstance(values, EccErrorArrays):
                leaf: Any = ak.contents.RecordArray([ak.contents.NumpyArray(f) for f in values], None,
                                                    length=len(values.offset))
            else:
                leaf = ak.contents.NumpyArray(values)
            per_channel = ak.contents.ListOffsetArray(ak.index.Index64(offsets), leaf)
            contents.append(ak.contents.ListOffsetArray(channel_offsets, per_channel))
        fields = list(self._lists())
        if index:
            contents.insert(0, ak.contents.NumpyArray(self.index))
            fields.insert(0, "index")
        layout = ak.contents.RecordArray(contents, fields, length=len(self))
        return ak.Array(layout)

    @property
    def nbytes(self) -> int:
        """The bytes of all arrays (index, values and offsets), as numpy counts them."""
        total = 0
        for values, offsets in self._lists().values():
            fields = values if isinstance(values, EccErrorArrays) else (values,)
            total += sum(field.nbytes for field in fields) + offsets.nbytes
        return total + self.index.nbytes + self.channel_offsets.nbytes

    @classmethod
    def concatenate(cls, parts: Iterable[EventArrays]) -> EventArrays:
        """The events of several EventArrays one after another, in new arrays.

        Args:
            parts: EventArrays of one board (the same fields), for example the
                batches of ``Acquisition.iterate()``.

        Returns:
            An EventArrays whose index, errors and every list are those of the
            parts in order; offsets are renumbered.

        Raises:
            ValueError: no parts, or parts that differ in their fields or in
                ``pedestals_corrected``.
        """
        from ._concatenate import concatenate

        return concatenate(list(parts))

    def to_arrow(self) -> Any:
        """A pyarrow.Table over the same memory, one row per event.

        Columns: ``index`` (int64), then the lists of the event dictionaries:
        ``data`` (float32), ``window_labels`` and ``time`` (uint16), and
        where the board has them ``timing`` (uint32) and ``ecc_errors``
        (structs of offset, position, word, corrected, bit), each a list per
        channel in a list per event. Lists have 64-bit offsets (Arrow's
        large_list), which is what lets every buffer be shared, not copied.
        Needs pyarrow (``pip install vintrel[arrow]``).
        """
        from ._arrow import table_of

        return table_of(self)

    def to_pandas(self) -> Any:
        """A pandas.DataFrame of ``to_arrow()``'s columns, Arrow-backed
        (``pandas.ArrowDtype``): nothing becomes Python objects."""
        from ._arrow import pandas_of

        return pandas_of(self)

    def to_polars(self) -> Any:
        """A polars.DataFrame of ``to_arrow()``'s columns over the same memory."""
        from ._arrow import polars_of

        return polars_of(self)


def _from_buffers(buffers: dict[str, Any], errors: list[tuple[int, BaseException]],
                  pedestals_corrected: bool) -> EventArrays:
    """Builds an EventArrays over the native reader's buffer objects (called
    by Acquisition.arrays); numpy.asarray views each without copying."""
    arrays = {name: np.asarray(buffer) for name, buffer in buffers.items()}
    ecc_errors = None
    if "ecc_offset" in arrays:
        ecc_errors = EccErrorArrays._make(arrays.pop(f"ecc_{field}") for field in EccErrorArrays._fields)
    return EventArrays(errors=errors, ecc_errors=ecc_errors, pedestals_corrected=pedestals_corrected, **arrays)
