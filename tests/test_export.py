"""export_csv end to end: chunking and file names, every board's record
type, argument conversion, failures of the whole request, and the
interpreter lock being released during an export."""

import os
import random
import re
from pathlib import Path

import numpy as np
import pytest

import vintrel
from encoders import MODULES, encoder_for, merrowv3, pikorv1
from lock_probe import steps_during
from test_csv_layout import reference_csv

SMALL = merrowv3.sample_params(channels=1, windows=64, samples=1)


def small_event(value):
    return merrowv3.encode_windows([[(0, 1, [value])]])


@pytest.fixture
def out(tmp_path):
    d = tmp_path / "out"
    d.mkdir()
    return d


def small_acq(make_acq, n=10, name="run7", **kwargs):
    return vintrel.Acquisition(make_acq(SMALL, [small_event(v) for v in range(n)], name=name, **kwargs))


def evt_and_value(path):
    return [tuple(line.split(",")[1:4:2]) for line in Path(path).read_text().splitlines()[1:]]


# ---- every board ----

@pytest.mark.parametrize("model", sorted(MODULES))
@pytest.mark.parametrize("with_pedestals", [False, True])
def test_every_model_exports_what_it_parses(make_acq, out, model, with_pedestals):
    enc = encoder_for(model)
    params = enc.sample_params(model=model)
    rng = random.Random(model)
    events = [enc.sample_event(params, rng) for _ in range(3)]
    root = make_acq(params, events)
    acq = vintrel.Acquisition(root)
    dicts = [acq[i] for i in range(3)]
    table = None
    if with_pedestals:
        labels = max((l for d in dicts for ch in d["window_labels"] for l in ch), default=0)
        nrng = np.random.default_rng(7)
        table = nrng.normal(100, 30, size=(len(dicts[0]["data"]), labels + 1, params["samples"]))
        table = table.astype(np.float32).tolist()
        (root / "pedestals_calibration").write_bytes(
            __import__("gzip").compress(__import__("pickle").dumps({"data": table})))
    vintrel.export_csv(acq, [2, 0, 1, 0], out, with_pedestals)
    files = list(out.iterdir())
    assert [f.name for f in files] == [f"{root.name} (chunk 0).csv"]
    expected, _ = reference_csv([dicts[i] for i in (2, 0, 1, 0)], params["samples"],
                                timing=enc.__name__.endswith("pikorv1"), pedestals=table)
    assert files[0].read_text() == expected
    assert expected.count("\n") > 4


# ---- chunks and file names ----

@pytest.mark.parametrize("count, sizes", [(1000, [1000]), (1001, [1000, 1]), (2500, [1000, 1000, 500])])
def test_chunks_of_1000(make_acq, out, count, sizes):
    acq = small_acq(make_acq)
    vintrel.export_csv(acq, [i % 10 for i in range(count)], out, False)
    names = sorted(os.listdir(out))
    assert names == [f"run7 (chunk {k}).csv" for k in range(len(sizes))]
    for k, size in enumerate(sizes):
        rows = evt_and_value(out / f"run7 (chunk {k}).csv")
        assert rows == [(str(i), str((k * 1000 + i) % 10)) for i in range(size)]


def test_indices_keep_their_order_and_duplicates(make_acq, out):
    vintrel.export_csv(small_acq(make_acq), [7, 3, 7], out, False)
    assert evt_and_value(out / "run7 (chunk 0).csv") == [("0", "7"), ("1", "3"), ("2", "7")]


def test_indices_beyond_the_acquisition_give_header_only_files(make_acq, out):
    vintrel.export_csv(small_acq(make_acq), [50] * 1500, out, False)
    assert sorted(os.listdir(out)) == ["run7 (chunk 0).csv", "run7 (chunk 1).csv"]
    for name in os.listdir(out):
        assert (out / name).read_text() == "acq_num,evt_num\n"


@pytest.mark.parametrize("existing", ["file", "symlink"])
def test_existing_file_is_replaced_whole(make_acq, out, existing):
    target = out / "run7 (chunk 0).csv"
    if existing == "file":
        target.write_text("old content\n" * 1000)
    else:
        target.symlink_to("/dev/full")
    vintrel.export_csv(small_acq(make_acq), [4], out, False)
    assert not target.is_symlink()
    assert target.read_text() == "acq_num,evt_num,windnum_ch0,data_ch0,time_ch0\n0,0,1,4,0\n"
    assert os.listdir(out) == [target.name]


@pytest.mark.parametrize("correct", [False, True])
def test_empty_request_writes_nothing_even_when_it_could_not(make_acq, tmp_path, correct):
    acq = vintrel.Acquisition(make_acq({**SMALL, "model": "nonesuch"}, [small_event(1)]))
    assert vintrel.export_csv(acq, [], tmp_path / "missing", correct) is None
    assert not (tmp_path / "missing").exists()


def test_correction_without_pedestal_file_is_plain_export(make_acq, tmp_path):
    acq = small_acq(make_acq)
    for flag in (False, True):
        (tmp_path / str(flag)).mkdir()
        vintrel.export_csv(acq, range(5), tmp_path / str(flag), flag)
    assert (tmp_path / "False" / "run7 (chunk 0).csv").read_bytes() == \
        (tmp_path / "True" / "run7 (chunk 0).csv").read_bytes()


# ---- failures of the request ----

def export_error(acq, out_dir, indices=(0,)):
    with pytest.raises(Exception) as info:
        vintrel.export_csv(acq, list(indices), out_dir, False)
    assert type(info.value).__name__ == "ExportError"
    return str(info.value)


def test_missing_out_dir(make_acq, tmp_path):
    assert export_error(small_acq(make_acq), tmp_path / "missing") == "Could not export: invalid path"
    assert not (tmp_path / "missing").exists()


@pytest.mark.skipif(os.geteuid() == 0, reason="root ignores directory permissions")
def test_read_only_out_dir(make_acq, out):
    out.chmod(0o500)
    try:
        assert export_error(small_acq(make_acq), out) == "Could not export: file access was denied"
        assert os.listdir(out) == []
    finally:
        out.chmod(0o700)


def test_unsupported_model_creates_no_file(make_acq, out):
    acq = vintrel.Acquisition(make_acq({**SMALL, "model": "Merrowv3"}, [small_event(1)]))
    assert export_error(acq, out) == "Could not export: error occurred while parsing"
    assert os.listdir(out) == []


def test_unreadable_metadata(make_acq, out):
    acq = small_acq(make_acq)
    (Path(acq.path) / "metadata.yml").unlink()
    with pytest.raises(Exception) as info:
        vintrel.export_csv(acq, [0], out, True)
    assert type(info.value).__name__ == "MetadataError"
    assert str(info.value) == "Could not process metadata: invalid metadata format"
    assert os.listdir(out) == []


def metadata_broken(root, how):
    path = Path(root) / "metadata.yml"
    if how == "removed":
        path.unlink()
    elif how == "a directory":
        path.unlink()
        path.mkdir()
    elif how == "not UTF-8":
        path.write_bytes(path.read_bytes() + b"# \xff\n")
    else:
        params = "params: {model: merrowv3, channels: 1, windows: 64, samples: %s}\n"
        path.write_text({"registers not a mapping": params % 1 + "registers: [1]\n",
                         "registers missing": params % 1,
                         "params.samples not a number": params % "many" + "registers: {}\n"}[how])


# metadata.yml spoiled after the acquisition was opened: the message stays,
# the reason is the exception's cause.
METADATA_CAUSES = [
    ("removed", "invalid metadata format", FileNotFoundError, r"No such file.*metadata\.yml"),
    ("a directory", "invalid metadata format", IsADirectoryError, r"Is a directory.*metadata\.yml"),
    ("not UTF-8", "invalid metadata format", ValueError, "not valid UTF-8"),
    ("registers not a mapping", "failed to serialized", ValueError, "^registers: expected a mapping$"),
    ("registers missing", "failed to serialized", ValueError, "^missing field `registers`$"),
    ("params.samples not a number", "failed to serialized", ValueError, "^params.samples: expected a u64$"),
]


@pytest.mark.parametrize("how, message, cause, reason", METADATA_CAUSES, ids=[c[0] for c in METADATA_CAUSES])
def test_metadata_failures_at_export_carry_their_reason(make_acq, out, how, message, cause, reason):
    acq = small_acq(make_acq)
    metadata_broken(acq.path, how)
    with pytest.raises(Exception) as info:
        vintrel.export_csv(acq, [0], out, False)
    assert (type(info.value).__name__, str(info.value)) == ("MetadataError", "Could not process metadata: " + message)
    assert type(info.value.__cause__) is cause
    assert re.search(reason, str(info.value.__cause__))
    if cause is not ValueError:
        assert info.value.__cause__.filename == str(Path(acq.path) / "metadata.yml")
    assert os.listdir(out) == []


def test_cells_of_one_event_are_limited(make_acq, out):
    # 196 KB: 16,384 channels of one sample on 1100 windows would give
    # 1100 rows of 65,538 fields, beyond the 2^26 cells an event may fill.
    params = pikorv1.sample_params(channels=16384, windows=1100, samples=1, packet_size=10,
                                   chanmask=0xFFFF, abs_wind_mask=0xFFFF)
    event = pikorv1.encode_event(pikorv1.encode_packet(c, c % 1100, 0, [1], packet_size=10) for c in range(16384))
    acq = vintrel.Acquisition(make_acq(params, [event], name="run7"))
    assert len(acq[0]["data"]) == 16384
    assert export_error(acq, out) == "Could not export: error occurred while exporting as csv"
    assert os.listdir(out) == []


def test_acquisition_path_without_a_name(make_acq, out, monkeypatch):
    acq_root = make_acq(SMALL, [small_event(1)])
    monkeypatch.chdir(acq_root)
    acq = vintrel.Acquisition(".")
    assert export_error(acq, out) == "Could not export: invalid path"
    assert os.listdir(out) == []


def test_bad_channel_warning_goes_to_stdout(make_acq, out, capfd):
    repeated = merrowv3.encode_windows([[(0, 3, [1])], [(0, 3, [2])]])
    acq = vintrel.Acquisition(make_acq(SMALL, [small_event(1), repeated], name="run7"))
    capfd.readouterr()
    vintrel.export_csv(acq, [0, 1, 1], out, False)
    assert capfd.readouterr().out == "Bad channel 0 at Event 1\nBad channel 0 at Event 2\n"


# ---- arguments ----

@pytest.mark.parametrize("args, error, message", [
    (("acq", [0], "out", False), TypeError, "argument 'acq': "),
    ((None, "0123", "out", False), TypeError, "argument 'indices': Can't extract `str` to `Vec`"),
    ((None, 5, "out", False), TypeError, "argument 'indices': "),
    ((None, [0, 1.5], "out", False), TypeError, "argument 'indices': "),
    ((None, [-1], "out", False), OverflowError, ""),
    ((None, [2 ** 64], "out", False), OverflowError, ""),
    ((None, [0], 3, False), TypeError, "argument 'out_dir': "),
    ((None, [0], "out", 1), TypeError, "argument 'pedestals_correction': "),
    ((None, [0], "out", None), TypeError, "argument 'pedestals_correction': "),
    ((None, "0123", 3, 1), TypeError, "argument 'indices': "),   # converted in order
])
def test_argument_conversion(make_acq, out, args, error, message):
    acq = small_acq(make_acq)
    args = tuple(acq if a is None else out if a == "out" else a for a in args)
    with pytest.raises(error) as info:
        vintrel.export_csv(*args)
    assert type(info.value) is error
    assert str(info.value).startswith(message)
    assert os.listdir(out) == []


@pytest.mark.parametrize("indices", [(1, 2), range(1, 3), np.array([1, 2], dtype=np.uint64)])
def test_keywords_paths_and_sequences(make_acq, out, indices):
    acq = small_acq(make_acq)
    assert vintrel.export_csv(pedestals_correction=False, out_dir=Path(out), indices=indices, acq=acq) is None
    assert evt_and_value(out / "run7 (chunk 0).csv") == [("0", "1"), ("1", "2")]


# ---- the interpreter lock ----

def test_other_threads_run_during_an_export(make_acq, out):
    params = merrowv3.sample_params()
    rng = random.Random(3)
    acq = vintrel.Acquisition(make_acq(params, [merrowv3.sample_event(params, rng) for _ in range(20)]))
    indices = list(range(20)) * 150    # 3000 events of 512 rows each
    _, seconds, steps = steps_during(lambda: vintrel.export_csv(acq, indices, out, False))
    # Python code ran for most of the export: far more than the handful of
    # switches a lock-holding export would allow. (Two workers write these
    # files in about 0.1 s on an idle machine.)
    assert seconds > 0.02 and steps > 1000
    assert len(os.listdir(out)) == 3
