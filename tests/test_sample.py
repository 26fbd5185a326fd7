"""vintrel.sample and `vintrel sample`: every board's sample parses back to
the samples it was made of, pedestal correction brings its baseline to zero,
it is the same for the same seed, and it is never written over something."""

import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import vintrel
from vintrel._sample import boards, writer
from vintrel._sample.encoders import MODULES

ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [str(Path(vintrel.__file__).parent.parent),
                                                                  os.environ.get("PYTHONPATH")]))}


def vintrel_cli(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "vintrel", *map(str, args)], capture_output=True, text=True,
                          env=ENV, cwd=cwd, timeout=120)


@pytest.mark.parametrize("model", sorted(MODULES))
def test_batch_encoding_parses_back_to_its_samples(model, tmp_path):
    board = boards.board(model)
    rng = np.random.default_rng(5)
    channels = int(board.params["channels"])
    samples = rng.integers(0, 1 << board.bits, size=(3, channels, board.samples_per_channel), dtype=np.uint16)
    first = rng.integers(0, board.ring, size=3)
    raw = board.encoder.encode_batch(board.params, samples, first)
    acq = vintrel.Acquisition(writer.write_acquisition(tmp_path / "a", board.params, [r.tobytes() for r in raw]))
    dense = acq.arrays().to_numpy()
    np.testing.assert_array_equal(dense["data"], samples)
    labels = (first[:, None] + np.arange(board.windows)) % board.ring
    np.testing.assert_array_equal(dense["window_labels"], np.broadcast_to(labels[:, None], (3, channels,
                                                                                           board.windows)))


@pytest.mark.parametrize("model", sorted(MODULES))
def test_every_board_gets_a_realistic_sample(model, tmp_path):
    acq = vintrel.sample(tmp_path / "run", model=model, events=20, chunks=3)
    assert (acq.path, len(acq), acq.chunk_count) == (str(tmp_path / "run"), 20, 3)
    assert [os.path.getsize(tmp_path / "run" / f"{n}.idx") // 8 for n in range(3)] == [7, 7, 6]
    board = boards.board(model)
    full = 1 << board.bits
    raw = acq.arrays().to_numpy()
    corrected = acq.arrays(pedestals_correction=True)
    assert corrected.errors == [] and corrected.pedestals_corrected
    data = corrected.to_numpy()["data"]
    np.testing.assert_array_equal(raw["time"], np.broadcast_to(np.arange(data.shape[2]), data.shape))
    before_pulse = slice(0, data.shape[2] // 5)
    # The raw baseline sits on the pedestal; corrected, it is noise about zero.
    assert np.median(raw["data"][:, :, before_pulse]) > 0.05 * full
    assert abs(np.median(data[:, :, before_pulse])) < 0.002 * full
    assert 0.0002 * full < np.std(data[:, :, before_pulse]) < 0.002 * full
    heights = data.max(axis=2)
    assert np.mean(heights > 0.1 * full) > 0.5  # most channels of most events hold a pulse
    assert raw["data"].max() < full
    side = (acq.readout_metadata, acq.pedestals_calibration, acq.timing_calibration, acq.adc_to_mv_calibration)
    assert side[0]["events"] == 20 and side[0]["events_per_chunk"] == [7, 7, 6]
    for table in side[1:]:
        assert np.asarray(table["data"]).shape == (int(board.params["channels"]), board.ring,
                                                   int(board.params["samples"]))


def test_the_same_seed_writes_the_same_bytes(tmp_path, monkeypatch):
    def files(name, seed):
        vintrel.sample(tmp_path / name, model="pikorv1_evalr2", events=30, seed=seed)
        return {p.name: p.read_bytes() for p in sorted((tmp_path / name).iterdir())}

    first = files("a", 1)
    later = time.time() + 100  # also written at another time
    monkeypatch.setattr(time, "time", lambda: later)
    again, other = files("b", 1), files("c", 2)
    assert first == again
    assert sorted(first) == sorted(other) and first["0.bin"] != other["0.bin"]


def test_file_times_are_those_of_a_run(tmp_path):
    # Calibrations, then metadata.yml at the start, the chunks in order, the
    # readout metadata at the end: what an overview derives the rate from.
    vintrel.sample(tmp_path / "run", events=30, chunks=3)
    mtime = {p.name: p.stat().st_mtime for p in (tmp_path / "run").iterdir()}
    order = ["pedestals_calibration", "metadata.yml", "0.idx", "1.idx", "2.idx", "readout_metadata"]
    assert [mtime[name] for name in order] == sorted(mtime[name] for name in order)
    assert len({mtime[name] for name in order[:-1]}) == len(order) - 1
    assert mtime["0.bin"] == mtime["0.idx"]


@pytest.mark.parametrize("kwargs, error, text", [
    ({"model": "nope"}, ValueError, "unknown board model 'nope'; models: fennikoc_fennik"),
    ({"events": -1}, ValueError, "events must be 0 or more, not -1"),
    ({"chunks": 0}, ValueError, "chunks must be 1 or more, not 0"),
    ({"seed": -3}, ValueError, "seed must be 0 or more"),
    ({"events": True}, TypeError, "events must be an integer, not bool"),
    ({"events": 2.0}, TypeError, "events must be an integer, not float"),
])
def test_arguments_refused(tmp_path, kwargs, error, text):
    with pytest.raises(error, match=text):
        vintrel.sample(tmp_path / "run", **kwargs)
    assert os.listdir(tmp_path) == []


def test_never_writes_over_anything(tmp_path):
    occupied = tmp_path / "occupied"
    occupied.mkdir()
    (occupied / "notes.txt").write_text("mine")
    (tmp_path / "file").write_text("mine")
    for target in (occupied, tmp_path / "file"):
        with pytest.raises(FileExistsError):
            vintrel.sample(target)
    assert os.listdir(occupied) == ["notes.txt"] and (tmp_path / "file").read_text() == "mine"
    # An empty directory is used, and so is a new one under new parents.
    (tmp_path / "empty").mkdir()
    assert len(vintrel.sample(tmp_path / "empty", events=4, chunks=1)) == 4
    assert len(vintrel.sample(str(tmp_path / "new" / "deep" / "run"), events=0)) == 0
    assert sorted(os.listdir(tmp_path)) == ["empty", "file", "new", "occupied"]


@pytest.mark.parametrize("stage", ["write_side_file", "rename"])
def test_an_interrupted_sample_leaves_nothing(tmp_path, monkeypatch, stage):
    calls = []

    def fail(real):
        def call(*args, **kwargs):
            calls.append(args)
            if len(calls) == 3:
                raise KeyboardInterrupt
            return real(*args, **kwargs)
        return call

    if stage == "rename":
        monkeypatch.setattr(os, "rename", fail(os.rename))
    else:
        monkeypatch.setattr(writer, stage, fail(getattr(writer, stage)))
    (tmp_path / "empty").mkdir()
    for target in (tmp_path / "new", tmp_path / "empty"):
        calls.clear()
        with pytest.raises(KeyboardInterrupt):
            vintrel.sample(target)
    assert os.listdir(tmp_path) == ["empty"] and os.listdir(tmp_path / "empty") == []


def test_a_sample_in_the_working_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    acq = vintrel.sample(".", events=6, chunks=2)
    assert (len(acq), acq.chunk_count) == (6, 2)
    assert sorted(os.listdir(tmp_path)) == ["0.bin", "0.idx", "1.bin", "1.idx", "adc2mv_calibration", "metadata.yml",
                                            "pedestals_calibration", "readout_metadata", "timing_calibration"]
    assert vintrel.Acquisition(tmp_path).pedestals_calibration is not None


def test_the_package_does_not_import_the_test_tools(tmp_path):
    code = ("import sys, vintrel; vintrel.sample(sys.argv[1], events=3); "
            "print(sorted(m for m in sys.modules if m.split('.')[0] in ('encoders', 'acqwriter', 'tools')))")
    env = {**ENV, "PYTHONPATH": str(Path(vintrel.__file__).parent.parent)}
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path / "run")], capture_output=True, text=True,
                          env=env, cwd=tmp_path, timeout=120)
    assert done.returncode == 0 and done.stdout == "[]\n", done.stderr


def test_command_line(tmp_path):
    done = vintrel_cli("sample", "run", "--model", "zemil16", "--events", "5", "--chunks", "2", "--seed", "4",
                       cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, "run\n", "")
    acq = vintrel.Acquisition(tmp_path / "run")
    assert (len(acq), acq.chunk_count, acq.params["model"]) == (5, 2, "zemil16")
    again = vintrel_cli("sample", "run", cwd=tmp_path)
    assert again.returncode == 1 and again.stdout == ""
    assert again.stderr == ("vintrel sample: run: directory not empty; a sample is written into a new or empty "
                            "directory\n")
    on_file = vintrel_cli("sample", tmp_path / "run" / "0.bin")
    assert on_file.returncode == 1 and on_file.stderr.endswith("0.bin: exists and is not a directory\n")
    for wrong in (["--events", "-1"], ["--chunks", "0"], ["--model", "nope"], ["--seed", "x"]):
        usage = vintrel_cli("sample", tmp_path / "other", *wrong)
        assert usage.returncode == 2 and "usage: vintrel sample" in usage.stderr
    assert not (tmp_path / "other").exists()


def test_the_command_line_starts_without_numpy():
    code = "import sys; from vintrel.cli import build_parser; build_parser(); print('numpy' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=ENV, timeout=120)
    assert done.stdout == "False\n", done.stderr


def test_ostra96_samples_are_sound_code_words():
    # Whole data blocks of the code's layout: the block check finds nothing in
    # what the encoder wrote, and finds a bit flipped afterwards.
    enc = boards.encoder_for("ostra96")
    params = enc.block_params()
    samples = np.random.default_rng(2).integers(0, 1024, size=(1, 96, 4096), dtype=np.uint16)
    block = bytearray(enc.encode_batch(params, samples, np.array([5]))[0].tobytes())
    assert vintrel.ecc_check(block) == []
    block[enc.word_position(params, 2, 7, 100)] ^= 0x08
    assert len(vintrel.ecc_check(block)) == 1
