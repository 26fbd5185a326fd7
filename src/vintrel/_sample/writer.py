"""Writes acquisition directories: metadata.yml, numbered chunk files and
gzip-compressed pickled side files, laid out as the acquisition software
lays them out. vintrel.sample writes its samples with it; the tests, the
demo and the benchmarks make acquisitions on the fly with it."""

from __future__ import annotations

import gzip
import os
import pickle
import struct
from pathlib import Path
from typing import Any, Iterable, Mapping, Sequence, Union

import yaml  # type: ignore[import-untyped]

SIDE_FILES = ("readout_metadata", "pedestals_calibration", "timing_calibration", "adc2mv_calibration")

PathArg = Union[str, "os.PathLike[str]"]


def write_metadata(root: PathArg, params: Mapping[str, Any], registers: Mapping[str, Any] | None = None,
                   extra: Mapping[str, Any] | None = None) -> Path:
    """Writes metadata.yml with `params` (model, channels, windows, samples and
    free keys, in that order) and `registers`."""
    doc = {"params": dict(params), "registers": dict(registers or {})}
    doc.update(extra or {})
    path = Path(root) / "metadata.yml"
    path.write_text(yaml.safe_dump(doc, sort_keys=False))
    return path


def chunk_bytes(events: Iterable[bytes]) -> tuple[bytes, bytes]:
    """The data and index file contents of one chunk holding `events`."""
    data = bytearray()
    index = bytearray()
    for event in events:
        index += struct.pack("<II", len(data), len(event))
        data += event
    return bytes(data), bytes(index)


def write_chunk_files(root: PathArg, n: int, data: bytes, index: bytes) -> None:
    """Writes chunk n from its data and index contents: data first, as a
    recording does, so that the index never names bytes not yet there."""
    (Path(root) / f"{n}.bin").write_bytes(data)
    (Path(root) / f"{n}.idx").write_bytes(index)


def write_chunk(root: PathArg, n: int, events: Sequence[bytes]) -> None:
    """Writes chunk n holding `events`."""
    write_chunk_files(root, n, *chunk_bytes(events))


def append_events(root: PathArg, n: int, events: Sequence[bytes]) -> None:
    """Appends events to chunk n as a recording would: data first, then index."""
    bin_path, idx_path = Path(root) / f"{n}.bin", Path(root) / f"{n}.idx"
    offset = bin_path.stat().st_size if bin_path.exists() else 0
    with open(bin_path, "ab") as data, open(idx_path, "ab") as index:
        for event in events:
            data.write(event)
            data.flush()
            index.write(struct.pack("<II", offset, len(event)))
            offset += len(event)


def write_side_file(root: PathArg, name: str, obj: Any, protocol: int | None = None, level: int = 9) -> Path:
    """Writes side file `name` holding `obj`, pickled and gzip-compressed (the
    same object, the same bytes)."""
    path = Path(root) / name
    # No time in the gzip header: the same content, the same bytes.
    path.write_bytes(gzip.compress(pickle.dumps(obj, protocol=protocol), compresslevel=level, mtime=0))
    return path


def write_acquisition(root: PathArg, params: Mapping[str, Any], events: Sequence[bytes] = (), *,
                      chunk_size: int | None = None, registers: Mapping[str, Any] | None = None,
                      side_files: Mapping[str, Any] | None = None) -> Path:
    """Creates the acquisition directory `root` holding `events`, split into
    chunks of `chunk_size` events (one chunk when None; none for no events)."""
    root = Path(root)
    os.makedirs(root, exist_ok=True)
    write_metadata(root, params, registers)
    events = list(events)
    size = chunk_size or max(len(events), 1)
    for n, start in enumerate(range(0, len(events), size)):
        write_chunk(root, n, events[start:start + size])
    for name, obj in (side_files or {}).items():
        write_side_file(root, name, obj)
    return root
