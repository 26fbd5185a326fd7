"""`vintrel plot PATH EVENT`: one event's waveforms as a PNG picture
(matplotlib, the optional extra vintrel[plot]; drawn off-screen with Agg)."""

from __future__ import annotations

import argparse
from typing import Any, Sequence

from . import pedestals as ped
from .common import CommandError, event_count, exception_text, open_acquisition, params_of, read_event, warn

EXTRA = "pip install 'vintrel[plot]'"
SIZE_INCHES = (10.0, 5.0)
DPI = 100  # 1000 x 500 pixels
LEGEND_MAX = 16  # channels named in a legend; more make one unreadable


def channel_list(text: str) -> list[int]:
    """An argparse type: channel numbers separated by commas, each once."""
    try:
        channels = [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected channel numbers separated by commas, not {text!r}") from None
    if any(c < 0 for c in channels):
        raise argparse.ArgumentTypeError(f"channel numbers are not negative: {text!r}")
    return list(dict.fromkeys(channels))


def add_parser(subparsers: Any) -> None:
    """Adds the `plot` subcommand."""
    parser = subparsers.add_parser(
        "plot", help="draw one event's waveforms to a PNG file",
        description="Draw one event: a line per channel against its time axis, window boundaries (where the "
                    f"window label changes) as dotted lines. Needs matplotlib: {EXTRA}.")
    parser.add_argument("path", help="acquisition directory")
    parser.add_argument("event", type=int, help="event index")
    parser.add_argument("-o", "--output", metavar="FILE.png",
                        help="picture to write (default: <name>_event<EVENT>.png in the current directory)")
    parser.add_argument("--channels", type=channel_list, metavar="0,3,...",
                        help="channels to draw (default: every channel with samples)")
    parser.add_argument("--pedestals", action="store_true",
                        help="subtract the pedestals of the pedestals_calibration side file, as the export does")
    parser.set_defaults(run=run)


def boundaries(times: Sequence[float], labels: Sequence[int], samples: int) -> list[float]:
    """Times halfway between the last sample of a window and the first of the
    next where the label changes; none when the samples do not fill their
    windows evenly."""
    if samples <= 0 or len(times) != samples * len(labels):
        return []
    return [(times[w * samples - 1] + times[w * samples]) / 2
            for w in range(1, len(labels)) if labels[w] != labels[w - 1]]


def draw(event: dict[str, Any], channels: Sequence[int], samples: int, title: str, ylabel: str, out: str) -> None:
    """Writes the picture of `channels` of a parsed event to `out` (PNG)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    fig = Figure(figsize=SIZE_INCHES, dpi=DPI)
    FigureCanvasAgg(fig)
    ax = fig.subplots()
    edges: set[float] = set()
    for c in channels:
        data, times = event["data"][c], event["time"][c]
        n = min(len(data), len(times))
        ax.plot(times[:n], data[:n], linewidth=0.8, label=f"channel {c}")
        edges.update(boundaries(times, event["window_labels"][c], samples))
    for i, x in enumerate(sorted(edges)):
        ax.axvline(x, color="0.55", linestyle=":", linewidth=0.8, zorder=0,
                   label="window boundary" if i == 0 else None)
    ax.set_xlabel("time (sample positions)")
    ax.set_ylabel(ylabel)
    ax.set_title(title)
    if len(channels) <= LEGEND_MAX:
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize="small", frameon=False)
        fig.subplots_adjust(left=0.08, right=0.8)
    fig.savefig(out, format="png")


def require_matplotlib() -> None:
    """A CommandError naming the extra to install when matplotlib is missing."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise CommandError("matplotlib", f"not installed; plotting needs the plot extra: {EXTRA}") from None


def pick_channels(event: dict[str, Any], asked: list[int] | None, path: str, index: int) -> list[int]:
    """The channels to draw: those asked for, each of which must have samples, or all with samples."""
    present = [c for c, data in enumerate(event["data"]) if data]
    if asked is None:
        if not present:
            raise CommandError(path, f"event {index} has no samples to plot")
        return present
    for c in asked:
        if c not in present:
            raise CommandError(path, f"event {index} has no samples in channel {c}")
    return asked


def run(args: argparse.Namespace) -> int:
    """Reads the event and draws it to the PNG file."""
    require_matplotlib()
    acq = open_acquisition(args.path)
    event = read_event(acq, args.path, args.event, event_count(acq, args.path))
    channels = pick_channels(event, args.channels, args.path, args.event)
    params = params_of(acq)
    samples = params.get("samples")
    samples = samples if isinstance(samples, int) else 0
    title, ylabel = f"{acq.name}, event {args.event}", "ADC counts"
    if args.pedestals:
        if reason := ped.unusable(acq):
            warn("plot", args.path, f"{reason}: samples are drawn as recorded")
        else:
            try:
                event["data"] = ped.corrected_samples(acq, args.event)
            except ValueError as error:
                raise CommandError(args.path, f"event {args.event} cannot be corrected: {error}") from None
            title, ylabel = title + " (pedestals subtracted)", "ADC counts - pedestal"
    out = args.output or f"{acq.name}_event{args.event}.png"
    try:
        draw(event, channels, samples, title, ylabel, out)
    except OSError as error:
        raise CommandError(out, exception_text(error)) from None
    print(out)
    return 0
