"""`vintrel sample DIR`: writes a sample acquisition of any board, to try the
reader, the commands and the examples on."""

from __future__ import annotations

import argparse
import os
from typing import Any

from .._sample import boards, sample  # numpy is imported when a sample is written
from .common import CommandError, exception_text


def count(least: int) -> Any:
    """An argparse type: a whole number no smaller than `least`."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"expected {least} or more, not {value}")
        return value

    return parse


def add_parser(subparsers: Any) -> None:
    """Adds the `sample` subcommand."""
    parser = subparsers.add_parser(
        "sample", help="write a sample acquisition to try things on",
        description="Write a sample acquisition into DIR (created; an existing directory must be empty): pulses "
                    "on a baseline with noise on every channel, the pedestals_calibration, readout_metadata, "
                    "timing_calibration and adc2mv_calibration side files, and the events spread over the "
                    "chunks. The same options write the same bytes. Prints DIR.")
    parser.add_argument("path", metavar="DIR", help="acquisition directory to create")
    parser.add_argument("--model", default="merrowv3", choices=boards.models(), metavar="MODEL",
                        help=f"board model (default merrowv3): {', '.join(boards.models())}")
    parser.add_argument("--events", type=count(0), default=1000, metavar="N", help="number of events (default 1000)")
    parser.add_argument("--chunks", type=count(1), default=3, metavar="K", help="number of chunks (default 3)")
    parser.add_argument("--seed", type=count(0), default=0, metavar="S",
                        help="chooses the waveforms (default 0)")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    """Writes the sample into DIR and prints DIR."""
    try:
        sample(args.path, model=args.model, events=args.events, chunks=args.chunks, seed=args.seed)
    except FileExistsError:
        reason = ("directory not empty; a sample is written into a new or empty directory"
                  if os.path.isdir(args.path) else "exists and is not a directory")
        raise CommandError(args.path, reason) from None
    except OSError as error:
        where = error.filename if isinstance(error.filename, str) else args.path
        raise CommandError(where, exception_text(error)) from None
    print(args.path)
    return 0
