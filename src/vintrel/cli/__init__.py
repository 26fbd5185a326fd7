"""The `vintrel` command: look into acquisitions, export them to CSV, plot an
event, check an ostra96 data block, write a sample. Run `vintrel --help`."""

from __future__ import annotations

import argparse
import codecs
import io
import os
import sys
from typing import Sequence

import vintrel

from . import ecc, export, info, ls, plot, sample, watch
from .common import CommandError, exception_text

COMMANDS = (info, ls, export, plot, ecc, sample, watch)


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of `vintrel` with its subcommands."""
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
    """Points standard output at /dev/null."""
    # The reader went away (`vintrel ls ROOT | head`): what is left unwritten
    # goes nowhere, so that flushing at exit does not fail again.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def escape_undecodable(error: UnicodeError) -> tuple[str | bytes, int]:
    """Encoding errors of the output streams: a file name's bytes that were
    not valid text (decoded to lone surrogates, as os.fsdecode does) are
    written back as those bytes, as other Unix tools print names; any other
    character the stream's encoding lacks is written as a backslash escape."""
    if not isinstance(error, UnicodeEncodeError):
        raise error
    text = error.object[error.start:error.end]
    if all("\udc80" <= c <= "\udcff" for c in text):
        return bytes(ord(c) - 0xDC00 for c in text), error.end
    return codecs.backslashreplace_errors(error)


def name_safe_output() -> None:
    """Makes the output streams print undecodable file-name bytes as they are (see escape_undecodable)."""
    codecs.register_error("vintrel.cli", escape_undecodable)
    for stream in (sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper):
            stream.reconfigure(errors="vintrel.cli")


def main(argv: Sequence[str] | None = None) -> int:
    """Runs `vintrel` with `argv` (default: the command line); returns the exit status."""
    name_safe_output()
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
