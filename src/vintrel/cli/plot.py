"""`vintrel plot PATH EVENT`: one event's waveforms as a picture;
`vintrel plot PATH --overview`: a page on the whole run (matplotlib, the
optional extra vintrel[plot]; drawn off-screen)."""

from __future__ import annotations

import argparse
import warnings
from typing import Any

from . import pedestals as ped
from .common import (CommandError, event_count, exception_text, open_acquisition, params_of, read_event, readable,
                     warn)

EXTRA = "pip install 'vintrel[plot]'"


def channel_list(text: str) -> list[int]:
    """An argparse type: channel numbers separated by commas, each once."""
    try:
        channels = [int(part) for part in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected channel numbers separated by commas, not {text!r}") from None
    if any(c < 0 for c in channels):
        raise argparse.ArgumentTypeError(f"channel numbers are not negative: {text!r}")
    return list(dict.fromkeys(channels))


def picture(text: str) -> str:
    """An argparse type: a picture file name whose extension names a format we write."""
    from ..plot import picture_format  # numpy only when a picture is asked for

    try:
        picture_format(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return text


def positive(text: str) -> int:
    """An argparse type: a whole number of 1 or more."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected 1 or more, not {value}")
    return value


def add_parser(subparsers: Any) -> None:
    """Adds the `plot` subcommand."""
    parser = subparsers.add_parser(
        "plot", help="draw one event's waveforms, or an overview of the run, to a PNG, PDF or SVG file",
        description="Draw one event: a line per channel against its time axis, window boundaries (where the "
                    "window label changes) as dotted lines; more than 16 channels as a heat map of channel "
                    "against sample position. With --overview, draw a page on the whole run instead: the event "
                    "rate per chunk (from the file modification times) and the pulse heights per channel (an "
                    "event's largest sample less the median of its samples). The picture's format follows the "
                    f"extension of -o: .png, .pdf or .svg. Needs matplotlib: {EXTRA}.")
    parser.add_argument("path", help="acquisition directory")
    parser.add_argument("event", type=int, nargs="?", help="event index (not with --overview)")
    parser.add_argument("-o", "--output", metavar="FILE", type=picture,
                        help="picture to write, .png, .pdf or .svg (default: <name>_event<EVENT>.png, or "
                             "<name>_overview.png, in the current directory)")
    parser.add_argument("--channels", type=channel_list, metavar="0,3,...",
                        help="channels to draw (default: every channel with samples)")
    parser.add_argument("--pedestals", action="store_true",
                        help="subtract the pedestals of the pedestals_calibration side file, as the export does")
    parser.add_argument("--style", choices=("auto", "lines", "heatmap"), default="auto",
                        help="an event's channels as lines or as a heat map (default auto: lines for up to 16 "
                             "channels)")
    parser.add_argument("--overview", action="store_true",
                        help="draw the run's event rate and pulse-height histograms instead of one event")
    parser.add_argument("--max-events", type=positive, metavar="N",
                        help="--overview: read at most N events, evenly spread over the run (default 100000)")
    parser.add_argument("--negative", action="store_true",
                        help="--overview: pulses go below the baseline")
    parser.set_defaults(run=run, usage=parser.error)


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
    """Reads the event (or the whole run) and draws it to the picture file."""
    if args.overview == (args.event is not None):
        args.usage("give an EVENT index, or --overview for the whole run")
    require_matplotlib()
    from .. import plot as pictures

    acq = open_acquisition(args.path)
    if args.overview:
        out = args.output or f"{acq.name}_overview.png"
        pedestals = args.pedestals
        if pedestals and (reason := ped.unusable(acq)):
            warn("plot", args.path, f"{reason}: pulse heights are drawn from the samples as recorded")
            pedestals = False

        def draw() -> None:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)
                most = {} if args.max_events is None else {"max_events": args.max_events}
                pictures.overview(acq, out, channels=args.channels, pedestals=pedestals, negative=args.negative,
                                  **most)
    else:
        event, title, ylabel, channels, samples = event_picture(acq, args)
        out = args.output or f"{acq.name}_event{args.event}.png"

        def draw() -> None:
            pictures.save(pictures.draw_event(event, channels, samples, title, ylabel, args.style), out)
    try:
        draw()
    except OSError as error:
        raise CommandError(out, exception_text(error)) from None
    except Exception as error:
        raise CommandError(args.path, exception_text(error)) from None
    print(out)
    return 0


def event_picture(acq: Any, args: argparse.Namespace) -> tuple[dict[str, Any], str, str, list[int], int]:
    """The event to draw, its title and y label, the channels drawn and the samples per window."""
    event = read_event(acq, args.path, args.event, event_count(acq, args.path))
    channels = pick_channels(event, args.channels, args.path, args.event)
    params = params_of(acq)
    samples = params.get("samples")
    samples = samples if isinstance(samples, int) else 0
    title, ylabel = f"{readable(acq.name)}, event {args.event}", "ADC counts"
    if args.pedestals:
        if reason := ped.unusable(acq):
            warn("plot", args.path, f"{reason}: samples are drawn as recorded")
        else:
            try:
                event["data"] = ped.corrected_samples(acq, args.event)
            except ValueError as error:
                raise CommandError(args.path, f"event {args.event} cannot be corrected: {error}") from None
            title, ylabel = title + " (pedestals subtracted)", "ADC counts - pedestal"
    return event, title, ylabel, channels, samples
