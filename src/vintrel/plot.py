"""Pictures of acquisitions: the waveforms of one event, and an overview page
of a run (pulse heights per channel, event rate over the run).

Drawing needs matplotlib, the optional extra ``vintrel[plot]``; this module
imports it only when a picture is drawn (off-screen, with the Agg canvas), and
says which extra to install when it is missing. Pictures are written in the
format that the output file's extension names: ``.png``, ``.pdf`` or ``.svg``.
"""

from __future__ import annotations

import datetime
import os
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterable, Literal, NamedTuple, Sequence, SupportsIndex, Union

import numpy as np
from numpy.typing import NDArray

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from ._vintrel import Acquisition

    _Style = Literal["auto", "lines", "heatmap"]

__all__ = ["event", "overview"]

EXTRA = "pip install 'vintrel[plot]'"
FORMATS = {".png": "png", ".pdf": "pdf", ".svg": "svg"}
UNDATED: dict[str, dict[str, Any]] = {"pdf": {"CreationDate": None}, "svg": {"Date": None}}
EVENT_SIZE = (10.0, 5.0)  # inches; 1000 x 500 pixels at DPI
PAGE_SIZE = (8.27, 11.69)  # A4 portrait
DPI = 100
CYCLE_MAX = 10  # channels told apart by the default colour cycle; more take a colour map
LINES_MAX = 16  # channels drawn as lines by default (and named in a legend); more as a heat map
CHANNEL_COLOURS = "turbo"
HEAT_COLOURS = "viridis"
BATCH = 10_000  # events read at once for an overview
MAX_EVENTS = 100_000

PathArg = Union[str, "os.PathLike[str]"]


def picture_format(path: PathArg) -> str:
    """The format that `path`'s extension names; ValueError for any other."""
    suffix = Path(os.fspath(path)).suffix.lower()
    if suffix not in FORMATS:
        named = f"extension {suffix!r}" if suffix else "no extension"
        raise ValueError(f"{os.fspath(path)} has {named}: pictures are written as .png, .pdf or .svg")
    return FORMATS[suffix]


def event(acq: Acquisition, index: int, output: PathArg | None = None, *, channels: Sequence[int] | None = None,
          pedestals: bool = False, style: _Style = "auto") -> Figure:
    """Draws the waveforms of one event.

    Up to 16 channels are drawn as a line each against the time axis, with the
    window boundaries (where the window label changes) dotted; more than 10
    channels take their colours from a colour map. More than 16 channels are
    drawn as a heat map of channel against sample position, unless `style`
    asks for lines.

    Args:
        acq: The acquisition.
        index: The event's index.
        output: A file to write the picture to, as PNG, PDF or SVG by its
            extension; None writes nothing.
        channels: The channels to draw; None draws every channel with samples.
        pedestals: Whether to subtract the pedestals of the
            pedestals_calibration side file first, as the CSV export does.
        style: "auto", "lines" or "heatmap".

    Returns:
        The matplotlib Figure (not attached to pyplot).

    Raises:
        ImportError: matplotlib is not installed.
        ValueError: An output extension other than .png, .pdf or .svg, an
            unknown style, a channel without samples, or pedestals asked for
            that cannot be subtracted from this event.
        IndexError: No event `index`.

    Examples:
        >>> import pathlib, tempfile, vintrel
        >>> tmp = pathlib.Path(tempfile.mkdtemp())
        >>> acq = vintrel.sample(tmp / "run1", events=10)
        >>> fig = vintrel.plot.event(acq, 0, tmp / "event0.svg")
        >>> (tmp / "event0.svg").read_bytes()[:5]
        b'<?xml'
    """
    _require_matplotlib()
    if output is not None:
        picture_format(output)  # refused before anything is drawn
    parsed: dict[str, Any] = dict(acq.parsed_event(index))
    ylabel = "ADC counts"
    title = f"{acq.name}, event {index}"
    if pedestals:
        parsed["data"] = _corrected_event(acq, index)
        ylabel, title = "ADC counts - pedestal", title + " (pedestals subtracted)"
    present = [c for c, data in enumerate(parsed["data"]) if len(data)]
    chosen = present if channels is None else list(channels)
    missing = [c for c in chosen if c not in present]
    if missing or not chosen:
        raise ValueError(f"event {index} has no samples in channel {missing[0]}" if missing
                         else f"event {index} has no samples to plot")
    samples = acq.params.get("samples")
    fig = draw_event(parsed, chosen, samples if isinstance(samples, int) else 0, title, ylabel, style)
    if output is not None:
        save(fig, output)
    return fig


def _corrected_event(acq: Acquisition, index: int) -> list[list[float]]:
    """The samples of event `index` per channel, pedestals subtracted; ValueError
    when the run has no usable pedestals or the event cannot be corrected."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        arrays = acq.arrays([index], pedestals_correction=True)
    if not arrays.pedestals_corrected:
        raise ValueError(f"{acq.name} has no usable pedestals_calibration side file")
    if arrays.errors:
        raise ValueError(f"event {index} cannot be corrected: {arrays.errors[0][1]}")
    data, offsets = arrays.data, arrays.data_offsets
    return [data[offsets[j]:offsets[j + 1]].tolist() for j in range(int(arrays.channel_offsets[1]))]


def boundaries(times: Sequence[float], labels: Sequence[int], samples: int) -> list[float]:
    """Times halfway between the last sample of a window and the first of the
    next where the label changes; none when the samples do not fill their
    windows evenly."""
    if samples <= 0 or len(times) != samples * len(labels):
        return []
    return [(times[w * samples - 1] + times[w * samples]) / 2
            for w in range(1, len(labels)) if labels[w] != labels[w - 1]]


def draw_event(parsed: dict[str, Any], channels: Sequence[int], samples: int, title: str, ylabel: str,
               style: _Style = "auto") -> Figure:
    """The figure of `channels` of a parsed event dictionary."""
    if style not in ("auto", "lines", "heatmap"):
        raise ValueError(f"style must be 'auto', 'lines' or 'heatmap', not {style!r}")
    fig = _figure(EVENT_SIZE)
    ax = fig.subplots()
    heatmap = style == "heatmap" or (style == "auto" and len(channels) > LINES_MAX)
    if heatmap:
        _event_heatmap(fig, ax, parsed, channels, ylabel)
    else:
        _event_lines(fig, ax, parsed, channels, samples)
        ax.set_ylabel(ylabel)
    ax.set_xlabel("time (sample positions)")
    ax.set_title(title)
    _integer_ticks(ax.xaxis)
    return fig


def _positions(parsed: dict[str, Any], c: int) -> tuple[NDArray[Any], NDArray[np.float64]]:
    """A channel's time positions and samples, as many of each."""
    data = np.asarray(parsed["data"][c], dtype=np.float64)
    times = np.asarray(parsed["time"][c] if c < len(parsed["time"]) else [], dtype=np.int64)
    if len(times) < len(data):  # a channel without a whole time axis is drawn by sample number
        times = np.arange(len(data))
    return times[:len(data)], data


def _event_lines(fig: Figure, ax: Axes, parsed: dict[str, Any], channels: Sequence[int], samples: int) -> None:
    """Draws `channels` as lines with the window boundaries dotted, named in a
    legend, or by a colour bar when there are more than LINES_MAX."""
    colours = _channel_colours(len(channels))
    edges: set[float] = set()
    for k, c in enumerate(channels):
        times, data = _positions(parsed, c)
        ax.plot(times, data, linewidth=0.8, label=f"channel {c}", color=colours[k] if colours else None)
        edges.update(boundaries(times.tolist(), parsed["window_labels"][c], samples))
    for i, x in enumerate(sorted(edges)):
        ax.axvline(x, color="0.55", linestyle=":", linewidth=0.8, zorder=0,
                   label="window boundary" if i == 0 else None)
    if len(channels) <= LINES_MAX:
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small", frameon=False)
        fig.subplots_adjust(left=0.08, right=0.8)
    else:  # too many for a legend: the colour map itself, by channel number
        from matplotlib import colormaps
        from matplotlib.cm import ScalarMappable
        from matplotlib.colors import BoundaryNorm

        bounds = np.arange(len(channels) + 1) - 0.5
        mappable = ScalarMappable(BoundaryNorm(bounds, 256), colormaps[CHANNEL_COLOURS])
        bar = fig.colorbar(mappable, ax=ax, label="channel")
        _channel_ticks(bar.ax.yaxis, channels)


def _event_heatmap(fig: Figure, ax: Axes, parsed: dict[str, Any], channels: Sequence[int], label: str) -> None:
    """Draws `channels` as rows of an image, sample values by colour; positions
    without a sample stay grey."""
    rows = [_positions(parsed, c) for c in channels]
    width = max((int(times.max()) + 1 for times, _ in rows if len(times)), default=1)
    grid = np.full((len(channels), width), np.nan)
    for row, (times, data) in enumerate(rows):
        grid[row, times] = data
    from matplotlib import colormaps

    image = ax.imshow(grid, aspect="auto", interpolation="nearest", origin="lower",
                      cmap=colormaps[HEAT_COLOURS].with_extremes(bad="0.9"),
                      extent=(-0.5, width - 0.5, -0.5, len(channels) - 0.5))
    fig.colorbar(image, ax=ax, label=label)
    ax.set_ylabel("channel")
    _channel_ticks(ax.yaxis, channels)


def _channel_colours(count: int) -> list[Any] | None:
    """Colours of `count` lines: the default cycle up to CYCLE_MAX lines, else
    evenly spaced along the channel colour map."""
    if count <= CYCLE_MAX:
        return None
    from matplotlib import colormaps

    return [colormaps[CHANNEL_COLOURS](x) for x in np.linspace(0.0, 1.0, count)]


def _integer_ticks(axis: Any) -> None:
    """Puts the axis ticks on whole numbers only."""
    from matplotlib.ticker import MaxNLocator

    axis.set_major_locator(MaxNLocator(integer=True))


def _channel_ticks(axis: Any, channels: Sequence[int]) -> None:
    """Ticks at whole rows, labelled with the channel number of the row."""
    from matplotlib.ticker import FuncFormatter

    _integer_ticks(axis)
    axis.set_major_formatter(FuncFormatter(
        lambda y, _: str(channels[int(round(y))]) if 0 <= round(y) < len(channels) else ""))


def _figure(size: tuple[float, float]) -> Figure:
    """A new figure of `size` inches on an off-screen Agg canvas (no pyplot, no
    window); ImportError naming the extra when matplotlib is missing."""
    _require_matplotlib()
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=size, dpi=DPI)
    FigureCanvasAgg(fig)
    return fig


def save(fig: Figure, output: PathArg) -> None:
    """Writes `fig` in the format that `output`'s extension names."""
    from matplotlib import rc_context

    fmt = picture_format(output)
    # No creation date in PDF and SVG files, and SVG ids from a fixed salt
    # rather than random ones: the same picture, the same bytes.
    with rc_context({"svg.hashsalt": "vintrel"}):
        fig.savefig(os.fspath(output), format=fmt, metadata=UNDATED.get(fmt))


def _require_matplotlib() -> None:
    """Raises ImportError naming the extra to install when matplotlib is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError as error:
        raise ImportError(f"vintrel.plot draws with matplotlib, which is not installed: {EXTRA}") from error


# The overview page.


class ChunkTimes(NamedTuple):
    """When the run started and when each chunk's last event was written
    (seconds since the epoch), and the events of each chunk."""

    start: float
    ends: list[float]
    events: list[int]


def chunk_times(acq: Acquisition) -> ChunkTimes:
    """The run's timeline as its files tell it: metadata.yml is written when
    the run starts, and a chunk's files last when its last event is."""
    root = Path(acq.path)
    ends, events = [], []
    for n in range(acq.chunk_count):
        try:
            stats = [os.stat(root / f"{n}.{ext}") for ext in ("bin", "idx")]
        except OSError:
            break
        ends.append(max(s.st_mtime for s in stats))
        events.append(stats[1].st_size // 8)
    try:
        start = os.stat(root / "metadata.yml").st_mtime
    except OSError:
        start = float("nan")
    return ChunkTimes(start, ends, events)


def chunk_rates(times: ChunkTimes) -> tuple[NDArray[np.float64], NDArray[np.float64], NDArray[np.float64]] | None:
    """Per chunk with a known span: its start and end (seconds from the run's
    start) and its event rate. A chunk spans from the previous chunk's end (the
    first one from the run's start); spans that are not positive, as after a
    copy that did not keep the file times, give no rate. None when no chunk
    has a rate."""
    edges = np.array([times.start, *times.ends], dtype=np.float64)
    starts, ends = edges[:-1], edges[1:]
    counts = np.asarray(times.events, dtype=np.float64)
    known = np.isfinite(starts) & (ends > starts)
    if not known.any():
        return None
    origin = times.start if np.isfinite(times.start) and known[0] else float(starts[known][0])
    return starts[known] - origin, ends[known] - origin, counts[known] / (ends[known] - starts[known])


class Heights(NamedTuple):
    """Pulse heights of the channels drawn, from `events` events read; events
    that could not be read or corrected are counted in `left_out`."""

    channels: list[int]
    values: list[NDArray[np.float64]]  # per channel, one height per event that has samples there
    events: int  # events read
    left_out: int


def pulse_heights(acq: Acquisition, indices: Sequence[int], *, channels: Sequence[int] | None = None,
                  pedestals: bool = False, negative: bool = False) -> Heights:
    """Per channel, the pulse height of each event: its largest sample less
    the median of its samples (the baseline); with `negative`, the median
    less the smallest sample."""
    per_channel: dict[int, list[NDArray[np.float64]]] = {}
    read = left_out = 0
    for start in range(0, len(indices), BATCH):
        arrays = acq.arrays(indices[start:start + BATCH], pedestals_correction=pedestals)
        read += len(arrays)
        left_out += len(arrays.errors)
        for c, heights in _batch_heights(arrays, negative).items():
            if channels is None or c in channels:
                per_channel.setdefault(c, []).append(heights)
    chosen = sorted(per_channel)
    return Heights(chosen, [np.concatenate(per_channel[c]) for c in chosen], read, left_out)


def _batch_heights(arrays: Any, negative: bool) -> dict[int, NDArray[np.float64]]:
    """Pulse heights per channel, one per event: the largest excursion from the
    median of the channel's samples (downwards when `negative`)."""
    if not len(arrays):
        return {}
    try:
        data = arrays.to_numpy()["data"]
    except ValueError:  # events of different shapes: channel by channel
        return _ragged_heights(arrays, negative)
    if data.shape[2] == 0:
        return {}
    samples = data.astype(np.float64)
    baseline = np.median(samples, axis=2)
    heights = baseline - samples.min(axis=2) if negative else samples.max(axis=2) - baseline
    return {c: heights[:, c] for c in range(data.shape[1])}


def _ragged_heights(arrays: Any, negative: bool) -> dict[int, NDArray[np.float64]]:
    """_batch_heights for events of different shapes, channel by channel; a
    channel without samples in an event gives no height for it."""
    found: dict[int, list[float]] = {}
    data, offsets, events = arrays.data, arrays.data_offsets, arrays.channel_offsets
    for e in range(len(arrays)):
        for j in range(int(events[e]), int(events[e + 1])):
            samples = data[offsets[j]:offsets[j + 1]]
            if len(samples):
                baseline = float(np.median(samples))
                height = baseline - float(samples.min()) if negative else float(samples.max()) - baseline
                found.setdefault(j - int(events[e]), []).append(height)
    return {c: np.asarray(v) for c, v in found.items()}


def spread_indices(indices: Sequence[int], most: int | None) -> Sequence[int]:
    """At most `most` of `indices`, evenly spaced over them (all when None)."""
    if most is None or len(indices) <= most:
        return indices
    picks = np.unique(np.linspace(0, len(indices) - 1, max(most, 1)).round().astype(np.int64))
    return [indices[int(k)] for k in picks]


def overview(acq: Acquisition, output: PathArg | None = None, *,
             indices: Iterable[SupportsIndex] | slice | None = None, channels: Sequence[int] | None = None,
             pedestals: bool = False, negative: bool = False, bins: int = 64,
             max_events: int | None = MAX_EVENTS) -> Figure:
    """Draws an overview page of a run, to print into a logbook.

    The page (A4 portrait) names the run and its board and shows:

    - the event rate over the run, per chunk: a chunk's events divided by the
      time from the previous chunk's last write (for the first chunk, from the
      writing of metadata.yml, when the run starts) to its own, as the file
      modification times tell; when the file times give no rate (a copy that
      did not keep them), the number of events per chunk instead;
    - the pulse heights per channel: for each event, the channel's largest
      sample less the median of its samples; a histogram per channel for up
      to 16 channels, a heat map of channel against pulse height for more.

    Args:
        acq: The acquisition.
        output: A file to write the page to, as PNG, PDF or SVG by its
            extension; None writes nothing.
        indices: The events whose pulse heights are drawn, as
            `Acquisition.arrays` takes them; None for every event.
        channels: The channels whose pulse heights are drawn; None for every
            channel with samples.
        pedestals: Whether to subtract the pedestals first.
        negative: Pulses go below the baseline: heights are the median less
            the smallest sample.
        bins: Histogram bins.
        max_events: When more events are selected, an evenly spaced subset of
            this many is read; None reads them all.

    Returns:
        The matplotlib Figure (not attached to pyplot).

    Raises:
        ImportError: matplotlib is not installed.
        ValueError: An output extension other than .png, .pdf or .svg, or
            `bins` or `max_events` below 1.

    Examples:
        >>> import pathlib, tempfile, vintrel
        >>> tmp = pathlib.Path(tempfile.mkdtemp())
        >>> acq = vintrel.sample(tmp / "run1", events=200)
        >>> fig = vintrel.plot.overview(acq, tmp / "run1.pdf")
        >>> (tmp / "run1.pdf").read_bytes()[:5]
        b'%PDF-'
    """
    _require_matplotlib()
    if output is not None:
        picture_format(output)
    if bins < 1 or (max_events is not None and max_events < 1):
        raise ValueError("bins and max_events must be 1 or more")
    selected = _selection(acq, indices)
    picked = spread_indices(selected, max_events)
    heights = pulse_heights(acq, picked, channels=channels, pedestals=pedestals, negative=negative)
    times = chunk_times(acq)
    fig = _figure(PAGE_SIZE)
    parts: Any = fig.subfigures(3, 1, height_ratios=[0.12, 0.28, 0.6])
    top, rate_ax, bottom = parts
    _header(top, acq, times, heights, len(selected), pedestals)
    _rate(rate_ax.subplots(), times)
    _heights(bottom, heights, bins, "ADC counts" + (" - pedestal" if pedestals else ""))
    if output is not None:
        save(fig, output)
    return fig


def _selection(acq: Acquisition, indices: Iterable[SupportsIndex] | slice | None) -> Sequence[int]:
    """The event indices that `indices` selects (all events for None)."""
    # Ranges stay ranges: a run of millions of events needs no list of them.
    if indices is None:
        return range(len(acq))
    if isinstance(indices, slice):
        return range(len(acq))[indices]
    if isinstance(indices, range):
        return indices
    return [int(i.__index__()) for i in indices]


def _header(fig: Any, acq: Acquisition, times: ChunkTimes, heights: Heights, selected: int,
            pedestals: bool) -> None:
    """Writes the page's title and the lines that describe the run and what the
    histograms were made from."""
    params = acq.params
    started = (datetime.datetime.fromtimestamp(times.start, datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%S UTC")
               if np.isfinite(times.start) else "unknown")
    lines = [
        f"{params.get('model')}: {params.get('channels')} channels, {params.get('windows')} windows of "
        f"{params.get('samples')} samples; {sum(times.events)} events in {len(times.events)} chunks",
        f"run started {started} (metadata.yml written); {acq.path}",
        f"pulse heights of {heights.events} events"
        + (f" (evenly spread over the {selected} selected)" if heights.events + heights.left_out < selected else "")
        + (f", {heights.left_out} left out (unreadable or not correctable)" if heights.left_out else "")
        + ("; pedestals subtracted" if pedestals else ""),
    ]
    fig.suptitle(acq.name, fontsize="x-large", x=0.06, ha="left", y=0.92)
    fig.text(0.06, 0.05, "\n".join(lines), fontsize="small", va="bottom", linespacing=1.5)


def _rate(ax: Axes, times: ChunkTimes) -> None:
    """Draws the event rate of each chunk over the run, or the events per chunk
    when the file times give no rate."""
    rates = chunk_rates(times)
    if rates is None:
        ax.bar(np.arange(len(times.events)), times.events, color="C0")
        ax.set_xlabel("chunk")
        ax.set_ylabel("events")
        ax.set_title("events per chunk (the file times give no rate)", fontsize="medium")
        _integer_ticks(ax.xaxis)
        return
    starts, ends, rate = rates
    scale, unit = (60.0, "min") if ends[-1] > 600 else (1.0, "s")
    for a, b, r in zip(starts / scale, ends / scale, rate):
        ax.hlines(r, a, b, color="C0", linewidth=2)
    known = rates[1] - rates[0]
    mean = float(np.sum(rate * known) / np.sum(known))
    ax.axhline(mean, color="0.5", linestyle=":", linewidth=1, label=f"mean {mean:.4g} events/s")
    ax.set_xlim(0, ends[-1] / scale)
    ax.set_ylim(0, max(float(rate.max()) * 1.15, 1e-9))
    ax.set_xlabel(f"time since the run started ({unit})")
    ax.set_ylabel("events / s")
    ax.set_title("event rate per chunk (from the file modification times)", fontsize="medium")
    ax.legend(loc="lower right", fontsize="small", frameon=False)


def _heights(fig: Any, heights: Heights, bins: int, unit: str) -> None:
    """Draws a pulse-height histogram per channel (one heat map for more than
    LINES_MAX channels), sharing `bins` bins."""
    if not heights.channels:
        ax = fig.subplots()
        ax.set_axis_off()
        ax.text(0.5, 0.5, "no samples to histogram", ha="center", va="center")
        return
    values = np.concatenate(heights.values)
    high = float(np.percentile(values, 99.9)) if len(values) else 1.0
    edges = np.linspace(min(0.0, float(values.min())), max(high * 1.05, 1.0), bins + 1)
    if len(heights.channels) > LINES_MAX:
        _heights_heatmap(fig, heights, edges, unit)
        return
    columns = min(4, len(heights.channels))
    rows = -(-len(heights.channels) // columns)
    axes = np.atleast_1d(fig.subplots(rows, columns, sharex=True, squeeze=False)).ravel()
    for ax, c, v in zip(axes, heights.channels, heights.values):
        ax.hist(np.clip(v, edges[0], edges[-1]), bins=edges, color="C0", rwidth=1.0)
        if len(v) and _wide(v, edges):
            from matplotlib.ticker import NullLocator

            ax.set_yscale("log")
            ax.yaxis.set_minor_locator(NullLocator())  # 16 small panels: minor ticks cost more than they tell
        else:
            _integer_ticks(ax.yaxis)
        ax.set_title(f"channel {c}", fontsize="small")
        ax.tick_params(labelsize="x-small")
    for ax in axes[len(heights.channels):]:
        ax.set_axis_off()
    fig.supxlabel(f"pulse height ({unit})", fontsize="small")
    fig.supylabel("events", fontsize="small")


def _wide(values: NDArray[np.float64], edges: NDArray[np.float64]) -> bool:
    """Whether the bin counts span more than two decades (a log axis reads better)."""
    counts = np.histogram(values, bins=edges)[0]
    full = counts[counts > 0]
    return bool(len(full) and full.max() > 100 * full.min())


def _heights_heatmap(fig: Any, heights: Heights, edges: NDArray[np.float64], unit: str) -> None:
    """Draws the pulse-height histograms of all channels as rows of one image,
    counts by colour (on a log scale once a bin holds more than one)."""
    from matplotlib import colormaps
    from matplotlib.colors import LogNorm

    counts = np.array([np.histogram(np.clip(v, edges[0], edges[-1]), bins=edges)[0] for v in heights.values],
                      dtype=np.float64)
    counts[counts == 0] = np.nan
    ax = fig.subplots()
    image = ax.imshow(counts, aspect="auto", interpolation="nearest", origin="lower",
                      cmap=colormaps[HEAT_COLOURS].with_extremes(bad="white"),
                      norm=LogNorm() if np.nanmax(counts, initial=0) > 1 else None,
                      extent=(float(edges[0]), float(edges[-1]), -0.5, len(heights.channels) - 0.5))
    fig.colorbar(image, ax=ax, label="events")
    ax.set_xlabel(f"pulse height ({unit})")
    ax.set_ylabel("channel")
    ax.set_title("pulse heights per channel", fontsize="medium")
    _channel_ticks(ax.yaxis, heights.channels)
