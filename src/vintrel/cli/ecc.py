"""`vintrel ecc FILE [--correct OUT]`: the error-correcting code of an
ostra96 data block, channel by channel."""

from __future__ import annotations

import argparse
import contextlib
import os
import stat
from typing import Any

import vintrel

from .common import CommandError, exception_text

# The block layout: chips of 131140 bytes after one another, then a 2-byte
# footer. Channel k of a chip has 4096 protected words starting at byte
# 3 + 8196 k of the chip (a header word before them, a footer word after).
CHIP_BYTES = 131140
CHANNELS_PER_CHIP = 16
REGION_OFFSET = 3
CHANNEL_STRIDE = 8196
WORDS_PER_CHANNEL = 4096
FOOTER_BYTES = 2


def add_parser(subparsers: Any) -> None:
    """Adds the `ecc` subcommand."""
    parser = subparsers.add_parser(
        "ecc", help="check the error-correcting code of an ostra96 data block",
        description="Check every protected word of the ostra96 data block in FILE (up to six chips of 131140 "
                    "bytes, then a 2-byte footer) and print, per channel, the words checked, the single-bit "
                    "errors corrected and the errors that cannot be corrected.")
    parser.add_argument("file", help="file holding one data block")
    parser.add_argument("--correct", metavar="OUT", help="write the block with its correctable words corrected")
    parser.set_defaults(run=run)


def channel_count(block_size: int) -> int:
    """The channels of a block of `block_size` bytes."""
    # A partial last chip counts as a chip: the check refuses such a block.
    return -(-(block_size - FOOTER_BYTES) // CHIP_BYTES) * CHANNELS_PER_CHIP


def channel_of(position: int) -> int:
    """The channel whose protected words hold the byte at `position` of the block."""
    chip, offset = divmod(position, CHIP_BYTES)
    return chip * CHANNELS_PER_CHIP + (offset - REGION_OFFSET) // CHANNEL_STRIDE


def tally(records: list[tuple[int, int, int, int, int, int]], channels: int) -> list[list[int]]:
    """Per channel: [words checked, corrected, uncorrectable]."""
    rows = [[WORDS_PER_CHANNEL, 0, 0] for _ in range(channels)]
    for _offset, position, _word, _corrected, _bit, correctable in records:
        rows[channel_of(position)][1 if correctable else 2] += 1
    return rows


def report(rows: list[list[int]]) -> list[str]:
    """The table of the per-channel counts and their totals, as lines."""
    lines = [f"{'channel':>7}  {'words':>6}  {'corrected':>9}  {'uncorrectable':>13}"]
    lines += [f"{c:>7}  {w:>6}  {k:>9}  {u:>13}" for c, (w, k, u) in enumerate(rows)]
    total = [sum(column) for column in zip(*rows)] if rows else [0, 0, 0]
    lines.append(f"{'total':>7}  {total[0]:>6}  {total[1]:>9}  {total[2]:>13}")
    return lines


# The largest block: six chips and the footer.
BLOCK_BYTES_MAX = 6 * CHIP_BYTES + FOOTER_BYTES


def read_block(path: str) -> bytes:
    """The content of the regular file `path`, if it is no larger than a
    block. Devices, pipes and sockets are refused before anything is read
    (they can be endless, or wait for a writer)."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as error:
        raise CommandError(path, exception_text(error)) from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise CommandError(path, "not a regular file")
    with os.fdopen(fd, "rb") as f:
        try:
            block = f.read(BLOCK_BYTES_MAX + 1)
        except OSError as error:
            raise CommandError(path, exception_text(error)) from None
    if len(block) > BLOCK_BYTES_MAX:
        raise CommandError(path, f"not an ostra96 data block: larger than the largest block ({BLOCK_BYTES_MAX} bytes)")
    return block


def run(args: argparse.Namespace) -> int:
    """Checks the block, prints the table and writes the corrected block when asked."""
    block = read_block(args.file)
    try:
        records = vintrel.ecc_check(block)
    except ValueError as error:
        raise CommandError(args.file, f"not an ostra96 data block: {exception_text(error)}") from None
    print("\n".join(report(tally(records, channel_count(len(block))))))
    if args.correct is not None:
        write_whole(args.correct, vintrel.ecc_correct(block))
        print(f"corrected block written to {args.correct}")
    return 0


def write_whole(path: str, data: bytes | bytearray) -> None:
    """Writes `path` through a temporary file beside it: OUT may be FILE
    itself, and a failed write must not leave the block half overwritten.
    A symbolic link is written through (its target is replaced, the link
    stays) and a file that exists keeps its permission bits."""
    target = os.path.realpath(path) if os.path.islink(path) else path
    temporary = f"{target}.{os.getpid()}.tmp"
    created = False
    try:
        try:
            mode: int | None = stat.S_IMODE(os.stat(target).st_mode)
        except FileNotFoundError:
            mode = None
        with open(temporary, "xb") as f:
            created = True
            if mode is not None:
                os.fchmod(f.fileno(), mode)
            f.write(data)
        os.replace(temporary, target)
    except OSError as error:
        if created:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        raise CommandError(path, exception_text(error)) from None
