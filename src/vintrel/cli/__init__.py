"""The `vintrel` command: look into acquisitions, export them to CSV, plot an
event, check an ostra96 data block. Run `vintrel --help`."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Sequence

import vintrel

from . import ecc, export, info, ls, plot, watch
from .common import CommandError, exception_text

COMMANDS = (info, ls, export, plot, ecc, watch)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vintrel", description="Read waveform-digitizer acquisitions from the shell.",
        epilog="Failures print one line, \"vintrel COMMAND: PATH: REASON\", on standard error and exit with "
               "status 1; wrong usage exits with status 2.")
    parser.add_argument("--version", action="version", version=f"vintrel {vintrel.__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for command in COMMANDS:
        command.add_parser(subparsers)
    return parser


def subject(args: argparse.Namespace) -> str:
    """The path a command works on, for failures found outside it."""
    return str(next((getattr(args, name) for name in ("path", "root", "file") if hasattr(args, name)), ""))


def silence_stdout() -> None:
    # The reader went away (`vintrel ls ROOT | head`): what is left unwritten
    # goes nowhere, so that flushing at exit does not fail again.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status = int(args.run(args))
        sys.stdout.flush()
        return status
    except CommandError as error:
        print(f"vintrel {args.command}: {error}", file=sys.stderr)
    except vintrel.PanicException as panic:
        print(f"vintrel {args.command}: {subject(args)}: internal failure: {exception_text(panic)}",
              file=sys.stderr)
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        silence_stdout()
        return 141
    return 1
