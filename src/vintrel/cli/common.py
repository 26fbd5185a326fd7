"""What the subcommands share: failures reported as one line, opening an
acquisition with plain reasons for what can go wrong, reading one event."""

from __future__ import annotations

import errno
import itertools
import json
import math
import os
import re
import sys
from typing import Any, Iterable

import yaml  # type: ignore[import-untyped]

import vintrel

# Chunk files are "<n>.bin" and "<n>.idx", n in decimal without leading zeros.
CHUNK_FILE = re.compile(r"(0|[1-9][0-9]*)\.(bin|idx)")


class CommandError(Exception):
    """A failure reported as "vintrel <command>: <path>: <reason>", status 1."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: {reason}")
        self.path = path
        self.reason = reason


def one_line(text: str) -> str:
    """The text with every run of white space made one blank."""
    return " ".join(text.split())


def readable(name: str) -> str:
    """A file name as text that any renderer takes: the bytes of a name
    that is not valid UTF-8 (lone surrogates after os.fsdecode) as \\xNN."""
    return name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def exception_text(error: BaseException) -> str:
    """An exception's message on one line; an OS error's own description."""
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return one_line(str(error)) or type(error).__name__


def warn(command: str, path: str, text: str) -> None:
    """Prints "vintrel <command>: <path>: warning: <text>" on standard error."""
    print(f"vintrel {command}: {path}: warning: {text}", file=sys.stderr)


def plural(n: int, word: str) -> str:
    """"1 event", "2 events"."""
    return f"{n} {word}" if n == 1 else f"{n} {word}s"


# Values written out of one metadata value; aliases can make a short file
# stand for a huge tree, which is cut there.
PLAIN_VALUES_MAX = 100_000


def plain(value: Any) -> Any:
    """A metadata value as JSON can hold it: keys and values of other types
    (dates, bytes, sets, non-finite floats) as text, a collection met again
    inside itself as "...", and everything beyond PLAIN_VALUES_MAX too."""
    budget = PLAIN_VALUES_MAX

    def walk(item: Any, enclosing: frozenset[int]) -> Any:
        nonlocal budget
        budget -= 1
        if budget < 0 or id(item) in enclosing:
            return "..."
        if isinstance(item, dict):
            inner = enclosing | {id(item)}
            return {k if isinstance(k, (str, int, bool)) or k is None else str(k): walk(v, inner)
                    for k, v in item.items()}
        if isinstance(item, (list, tuple)):
            inner = enclosing | {id(item)}
            return [walk(v, inner) for v in item]
        if item is None or isinstance(item, (str, int, bool)) or (isinstance(item, float) and math.isfinite(item)):
            return item
        return str(item)

    return walk(value, frozenset())


def json_text(value: Any) -> str:
    """A value as JSON text, made plain first."""
    return json.dumps(plain(value))


def open_acquisition(path: str) -> vintrel.Acquisition:
    """Opens the acquisition at `path` or says plainly why it cannot be opened.

    The path is made absolute first, so that "." and "run7/" name the
    directory itself (the acquisition's name is its path's last component)."""
    if not os.path.exists(path):
        raise CommandError(path, os.strerror(errno.ENOENT))
    if not os.path.isdir(path):
        raise CommandError(path, os.strerror(errno.ENOTDIR))
    if not vintrel.is_acquisition(path):
        raise CommandError(path, "not an acquisition (no metadata.yml in it)")
    try:
        return vintrel.Acquisition(os.path.abspath(path))
    except yaml.YAMLError as error:
        raise CommandError(path, f"metadata.yml is not valid YAML: {one_line(str(error))}") from None
    except Exception as error:
        raise CommandError(path, exception_text(error)) from None


def params_of(acq: vintrel.Acquisition) -> dict[str, Any]:
    """The acquisition's params, or an empty dict when they are missing or not a mapping."""
    try:
        params = acq.params
    except Exception:
        return {}
    return params if isinstance(params, dict) else {}


def event_count(acq: vintrel.Acquisition, path: str) -> int:
    """The number of events, or a CommandError saying why it cannot be had."""
    try:
        return len(acq)
    except Exception as error:
        raise CommandError(path, f"cannot count the events: {exception_text(error)}") from None


def locate(root: str, index: int) -> int | None:
    """The chunk holding event `index`, by the sizes of the index files."""
    for n in itertools.count():
        stem = os.path.join(root, str(n))
        try:
            entries = os.path.getsize(stem + ".idx") // 8
            os.stat(stem + ".bin")
        except OSError:
            return None
        if index < entries:
            return n
        index -= entries
    return None


def event_failure(acq: vintrel.Acquisition, index: int, count: int, error: Exception) -> str:
    """Why event `index` of an acquisition of `count` events could not be had."""
    if isinstance(error, IndexError) and index >= count:
        return f"no event {index}: the acquisition has {plural(count, 'event')}"
    if isinstance(error, (IndexError, OSError)):
        chunk = locate(acq.path, index)
        where = f" from {chunk}.bin (chunk {chunk})" if chunk is not None else ""
        why = ("the data file is shorter than its index says, or unreadable" if isinstance(error, IndexError)
               else exception_text(error))
        return f"event {index} cannot be read{where}: {why}"
    return f"event {index}: {exception_text(error)}"


def read_event(acq: vintrel.Acquisition, path: str, index: int, count: int) -> dict[str, Any]:
    """The parsed event `index`, or a CommandError saying why not."""
    if index < 0 or index >= count:
        raise CommandError(path, f"no event {index}: the acquisition has {plural(count, 'event')}")
    try:
        return dict(acq.parsed_event(index))
    except Exception as error:
        raise CommandError(path, event_failure(acq, index, count, error)) from None


def unreachable_chunks(root: str, chunk_count: int) -> str | None:
    """Chunk files numbered from `chunk_count` on exist but are never read:
    chunks are read 0, 1, 2, ... up to the first one that does not open."""
    try:
        names = os.listdir(root)
    except OSError:
        return None
    beyond = sorted({int(m[1]) for m in map(CHUNK_FILE.fullmatch, names) if m and int(m[1]) >= chunk_count})
    if not beyond:
        return None
    missing = [f"{chunk_count}.{ext}" for ext in ("bin", "idx")
               if not os.path.exists(os.path.join(root, f"{chunk_count}.{ext}"))]
    unread = f"chunks {beyond[0]} to {beyond[-1]} are" if len(beyond) > 1 else f"chunk {beyond[0]} is"
    if len(missing) == 2:
        return f"there is no chunk {chunk_count}, so {unread} not read"
    if missing:
        return f"chunk {chunk_count} has no {missing[0]}, so {unread} not read"
    return f"chunk {chunk_count} cannot be opened, so {unread} not read"


def spans(numbers: Iterable[int]) -> list[str]:
    """Sorted numbers as runs: 3, 4, 5, 9 -> ["3-5", "9"]."""
    out: list[str] = []
    run: list[int] = []
    for n in sorted(set(numbers)):
        if run and n != run[-1] + 1:
            out.append(f"{run[0]}-{run[-1]}" if len(run) > 1 else str(run[0]))
            run = []
        run.append(n)
    if run:
        out.append(f"{run[0]}-{run[-1]}" if len(run) > 1 else str(run[0]))
    return out
