"""Sample acquisitions: `vintrel.sample(path)` writes a run of any board that
the reader and every example can be tried on."""

from __future__ import annotations

import os
import secrets
import shutil
import time
from pathlib import Path
from typing import TYPE_CHECKING, Any, Union

from . import boards, writer

if TYPE_CHECKING:
    import numpy as np

    from .._vintrel import Acquisition
    from .waveforms import Channels

__all__ = ["sample"]

# Events generated at once: bounds the memory of a long sample (samples).
BATCH_SAMPLES = 1 << 22
# The run's event rate (Hz) and how much it drifts from chunk to chunk.
RATE = 250.0
RATE_SPREAD = 0.3
SAMPLING_PERIOD_NS = 1.0
CALIBRATED_BEFORE_RUN = 600.0  # seconds between the calibrations and the run


def sample(path: Union[str, "os.PathLike[str]"], *, model: str = "merrowv3", events: int = 1000, chunks: int = 3,
           seed: int = 0) -> Acquisition:
    """Writes a sample acquisition and opens it.

    The run looks like a recording of the board: on every channel, pulses of
    a shaping amplifier on a baseline with noise; a pedestals_calibration side
    file holding each channel's baseline per window label and sample, so that
    pedestal correction brings the baseline to zero; readout_metadata,
    timing_calibration and adc2mv_calibration side files; the events spread
    as evenly as possible over `chunks` chunks. The files' modification
    times are those of a run of about 250 events per second that ended now.
    The same arguments write the same bytes.

    Args:
        path: The acquisition directory to create. Its parent directories are
            created as needed; an existing directory must be empty.
            metadata.yml, which makes the directory an acquisition, is
            written last; a failure or an interruption leaves nothing behind.
        model: The board model string, one of those the reader parses.
        events: The number of events, 0 or more.
        chunks: The number of chunks, 1 or more.
        seed: Any non-negative integer; it chooses the waveforms.

    Returns:
        The new acquisition, opened with `path`.

    Raises:
        ValueError: An unknown model, a negative number of events or seed, or
            fewer than one chunk.
        FileExistsError: `path` exists and is a non-empty directory, or not a
            directory.
        OSError: The directory could not be written.

    Examples:
        >>> import pathlib, tempfile, vintrel
        >>> tmp = pathlib.Path(tempfile.mkdtemp())
        >>> acq = vintrel.sample(tmp / "run1", model="zemil16", events=10)
        >>> len(acq), acq.chunk_count, acq.params["channels"]
        (10, 3, 16)
    """
    board = _checked_board(model, events, chunks, seed)
    target = Path(os.fspath(path))
    _refuse_occupied(target)
    created = not target.is_dir()
    if created:
        target.mkdir(parents=True)
    # Written into a hidden folder of the target, then moved up file by file,
    # metadata.yml (which makes a directory an acquisition) last: a reader
    # never meets a half-written acquisition. The target itself stays in
    # place, as it may be someone's working directory.
    partial = target / f".partial-{secrets.token_hex(6)}"
    moved: list[Path] = []
    try:
        partial.mkdir()
        _write_run(partial, board, events, chunks, seed)
        for name in sorted(os.listdir(partial), key=lambda name: name == "metadata.yml"):
            os.rename(partial / name, target / name)
            moved.append(target / name)
        partial.rmdir()
    except BaseException:
        for entry in moved:
            entry.unlink(missing_ok=True)
        shutil.rmtree(partial, ignore_errors=True)
        if created:
            shutil.rmtree(target, ignore_errors=True)
        raise
    from .._vintrel import Acquisition

    return Acquisition(str(target))


def _checked_board(model: str, events: int, chunks: int, seed: int) -> boards.Board:
    """The board of `model` once the arguments are known good; ValueError or
    TypeError naming the first one that is not."""
    if not isinstance(model, str) or model not in boards.models():
        raise ValueError(f"unknown board model {model!r}; models: {', '.join(boards.models())}")
    for name, value, least in (("events", events, 0), ("chunks", chunks, 1), ("seed", seed, 0)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an integer, not {type(value).__name__}")
        if value < least:
            raise ValueError(f"{name} must be {least} or more, not {value}")
    return boards.board(model)


def _refuse_occupied(target: Path) -> None:
    """Raises FileExistsError unless `target` is missing or an empty directory."""
    if not target.exists() and not target.is_symlink():
        return
    if not target.is_dir():
        raise FileExistsError(f"{target} exists and is not a directory")
    if any(target.iterdir()):
        raise FileExistsError(f"{target} is not empty: a sample is written into a new or empty directory")


def _write_run(root: Path, board: boards.Board, events: int, chunks: int, seed: int) -> None:
    """Writes every file of the run into `root`: metadata, chunks, side files,
    then the file times."""
    # numpy and the waveforms are imported here: the command line lists the
    # models without them.
    import numpy as np

    from . import waveforms

    rng = np.random.default_rng(seed)
    full = 1 << board.bits
    per_window = int(board.params["samples"])
    channels = int(board.params["channels"])
    chans = waveforms.channels(rng, channels, board.ring, per_window, full)
    sizes = [len(part) for part in np.array_split(np.arange(events), chunks)]
    writer.write_metadata(root, board.params, registers={"trigger_source": "self", "trigger_threshold": full // 8})
    batch = max(BATCH_SAMPLES // max(channels * board.samples_per_channel, 1), 1)
    for n, size in enumerate(sizes):
        _write_chunk(root, n, board, chans, rng, size, batch, full)
    tables = {
        "pedestals_calibration": {"data": _rounded(chans.pedestals)},
        "timing_calibration": {"data": _cell_table(rng, chans, SAMPLING_PERIOD_NS, 0.02)},
        "adc2mv_calibration": {"data": _cell_table(rng, chans, 1000.0 / full, 0.01)},
        "readout_metadata": {
            "description": "sample run: pulses on a baseline with noise",
            "model": board.params["model"], "events": events, "events_per_chunk": sizes,
            "adc_bits": board.bits, "sampling_period_ns": SAMPLING_PERIOD_NS, "seed": seed,
        },
    }
    for name, value in tables.items():
        writer.write_side_file(root, name, value, level=6)
    _date_run(root, sizes, rng)


def _write_chunk(root: Path, n: int, board: boards.Board, chans: Channels, rng: np.random.Generator,
                 size: int, batch: int, full: int) -> None:
    """Writes chunk `n` of `size` random events, encoded `batch` events at a
    time, and its index."""
    import numpy as np

    from . import waveforms

    entries = []
    offset = 0
    with open(root / f"{n}.bin", "wb") as data:
        for start in range(0, size, batch):
            count = min(batch, size - start)
            first = rng.integers(0, board.ring, size=count)
            labels = (first[:, None] + np.arange(board.windows)) % board.ring
            raw = board.encoder.encode_batch(board.params, waveforms.events(rng, chans, labels, full), first)
            length = raw.shape[1]
            entries.append(np.column_stack([offset + length * np.arange(count), np.full(count, length)]))
            data.write(raw.tobytes())
            offset += length * count
    index = np.concatenate(entries) if entries else np.zeros((0, 2))
    (root / f"{n}.idx").write_bytes(index.astype("<u4").tobytes())


def _cell_table(rng: np.random.Generator, chans: Channels, nominal: float, spread: float) -> Any:
    """A calibration per channel, window label and sample, shaped like the
    pedestal table: `nominal` with a relative spread."""
    return _rounded(nominal * (1 + rng.normal(0.0, spread, size=chans.pedestals.shape)), 4)


def _rounded(table: Any, decimals: int = 2) -> Any:
    """Nested lists of floats with as many decimals as a measurement keeps."""
    import numpy as np

    return np.round(np.asarray(table, dtype=np.float64), decimals).tolist()


def _date_run(root: Path, sizes: list[int], rng: np.random.Generator) -> None:
    """File times of a run that ended now: calibrations first, metadata.yml at
    the start, each chunk when its last event was written, readout_metadata
    at the end."""
    import numpy as np

    rates = RATE * rng.uniform(1 - RATE_SPREAD, 1 + RATE_SPREAD, size=len(sizes))
    ends = np.cumsum(np.asarray(sizes) / rates)
    end = time.time()
    start = end - float(ends[-1])
    stamps = {name: start - CALIBRATED_BEFORE_RUN
              for name in ("pedestals_calibration", "timing_calibration", "adc2mv_calibration")}
    stamps["metadata.yml"] = start
    for n, at in enumerate(ends):
        stamps[f"{n}.bin"] = stamps[f"{n}.idx"] = start + float(at)
    stamps["readout_metadata"] = end
    for name, at in stamps.items():
        os.utime(root / name, (at, at))
