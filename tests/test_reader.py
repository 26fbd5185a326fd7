"""Chunk files, the acquisition-wide event index, side files and the
always-read-anew rule, through Acquisition's raw surface."""

import gzip
import os
import pickle
import random
import struct
from pathlib import Path

import pytest

import acqwriter
import vintrel
from encoders import merrowv3

PARAMS = {"model": "merrowv3", "channels": 4, "windows": 8, "samples": 64}


MERROW = merrowv3.sample_params(channels=2, windows=4, samples=8)
MERROW_EVENTS = [merrowv3.sample_event(MERROW, random.Random(k)) for k in range(3)]


def events(n, size=6, seed=0):
    return [bytes((seed + i + k) % 256 for k in range(size + i)) for i in range(n)]


def raw(acq, i):
    return acq.raw_event(i)["rawdata"]


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def test_events_are_numbered_across_chunks_in_chunk_order(make_acq):
    evs = events(5)
    root = make_acq(PARAMS)
    acqwriter.write_chunk(root, 0, evs[:3])
    acqwriter.write_chunk(root, 1, evs[3:])
    acq = vintrel.Acquisition(root)
    assert (acq.chunk_count, len(acq)) == (2, 5)
    assert [raw(acq, i) for i in range(5)] == evs
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq.raw_event(5)


def test_raw_event_dictionary(make_acq):
    acq = vintrel.Acquisition(make_acq(PARAMS, events(4)))
    d = acq.raw_event(3)
    assert list(d) == ["rawdata", "pkg_num", "event_num"]
    assert d["pkg_num"] == d["event_num"] == 3 and type(d["rawdata"]) is bytes
    assert acq.raw_event(index=1)["rawdata"] == events(4)[1]


def test_no_chunks_and_gaps(make_acq):
    root = make_acq(PARAMS)
    acq = vintrel.Acquisition(root)
    assert (acq.chunk_count, len(acq)) == (0, 0)
    with pytest.raises(IndexError):
        acq.raw_event(0)
    acqwriter.write_chunk(root, 0, events(2))
    acqwriter.write_chunk(root, 2, events(3))  # chunk 1 missing: chunk 2 is never seen
    assert (acq.chunk_count, len(acq)) == (1, 2)


@pytest.mark.parametrize("missing", [".bin", ".idx"])
def test_a_chunk_needs_both_files(make_acq, missing):
    root = make_acq(PARAMS, events(3))
    acqwriter.write_chunk(root, 1, events(2))
    (root / f"1{missing}").unlink()
    acq = vintrel.Acquisition(root)
    assert (acq.chunk_count, len(acq)) == (1, 3)


def test_empty_chunks_are_passed_over(make_acq):
    root = make_acq(PARAMS)
    acqwriter.write_chunk(root, 0, [])
    acqwriter.write_chunk(root, 1, events(2))
    acq = vintrel.Acquisition(root)
    assert len(acq) == 2 and raw(acq, 1) == events(2)[1]


def index_entries(*entries):
    return b"".join(struct.pack("<II", o, n) for o, n in entries)


@pytest.mark.parametrize("index,data_size,wanted,expected", [
    (index_entries((0, 4), (4, 4)) + b"\0\0\0\0", 8, 2, IndexError),    # 20-byte index holds 2 entries
    (b"", 8, 0, IndexError),
    (index_entries((8, 0)), 8, 0, b""),                                 # empty event at the end of the data
    (index_entries((100, 50)), 120, 0, IndexError),                     # past the data: no short read
    (bytes.fromhex("1000000004000000"), 20, 0, bytes(range(16, 20))),   # offset 16, length 4
    (index_entries((0xFFFFFFFF, 0xFFFFFFFF)), 20, 0, IndexError),
])
def test_index_entries(make_acq, index, data_size, wanted, expected):
    root = make_acq(PARAMS)
    (root / "0.bin").write_bytes(bytes(range(data_size)))
    (root / "0.idx").write_bytes(index)
    acq = vintrel.Acquisition(root)
    if expected is IndexError:
        with pytest.raises(IndexError, match="^Index out of bounds$"):
            acq.raw_event(wanted)
    else:
        assert raw(acq, wanted) == expected


def test_directory_is_read_anew_on_every_call(make_acq):
    root = make_acq(PARAMS, events(2))
    acq = vintrel.Acquisition(root)
    assert len(acq) == 2
    acqwriter.append_events(root, 0, [b"new event"])
    acqwriter.write_chunk(root, 1, [b"next chunk"])
    assert (len(acq), acq.chunk_count) == (4, 2)
    assert raw(acq, 2) == b"new event" and raw(acq, 3) == b"next chunk"
    (root / "0.bin").write_bytes(b"")  # truncated by another process
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        acq.raw_event(0)


class TestOpening:
    def test_missing_directory(self, tmp_path):
        with pytest.raises(FileNotFoundError) as info:
            vintrel.Acquisition(tmp_path / "missing")
        assert info.value.args == ("Invalid path",)

    def test_regular_file_and_directory_without_metadata(self, tmp_path):
        (tmp_path / "file").write_text("x")
        for path in (tmp_path / "file", tmp_path):
            assert not vintrel.is_acquisition(path)
            with pytest.raises(OSError, match="^Invalid path$"):
                vintrel.Acquisition(path)

    def test_metadata_entry_of_any_kind_counts(self, tmp_path):
        (tmp_path / "metadata.yml").mkdir()
        assert vintrel.is_acquisition(str(tmp_path))

    @pytest.mark.parametrize("arg", [3, b"/tmp", None, ["x"]])
    def test_path_arguments_must_be_str_or_path(self, arg):
        for call, name in ((vintrel.Acquisition, "root"), (vintrel.is_acquisition, "path"),
                           (vintrel.list_acquisitions, "root_dir")):
            with pytest.raises(TypeError, match=f"^argument '{name}'"):
                call(arg)

    def test_str_and_path_agree(self, make_acq):
        root = make_acq(PARAMS)
        assert vintrel.is_acquisition(root) is vintrel.is_acquisition(str(root)) is True
        assert vintrel.Acquisition(root=str(root)).path == str(root)

    def test_trailing_separator_and_symlink(self, make_acq, tmp_path):
        root = make_acq(PARAMS, name="run7")
        assert vintrel.Acquisition(str(root) + "/").name == "run7"
        link = tmp_path / "link"
        link.symlink_to(root)
        acq = vintrel.Acquisition(link)
        assert (acq.name, acq.path) == ("link", str(link))

    def test_non_utf8_path(self, make_acq, tmp_path):
        root = make_acq(PARAMS, events(1))
        odd = Path(os.fsdecode(bytes(tmp_path) + b"/odd\xff"))
        root.rename(odd)
        acq = vintrel.Acquisition(odd)
        assert raw(acq, 0) == events(1)[0]
        assert (acq.name, acq.path) == ("odd\udcff", str(odd))


NON_UTF8 = b"run_\xe9"

# What a directory whose name is not UTF-8 gives, decoded as os.fsdecode()
# decodes it: everything that names the directory, its files or its events.
NON_UTF8_VIEWS = {
    "name": lambda acq, root, out: acq.name == os.fsdecode(NON_UTF8),
    "path round-trips to the same bytes": lambda acq, root, out: os.fsencode(acq.path) == bytes(root),
    "copy and pickle": lambda acq, root, out: pickle.loads(pickle.dumps(acq)).path == acq.path == acq.__copy__().path,
    "list_acquisitions": lambda acq, root, out: [a.name for a in vintrel.list_acquisitions(root.parent)]
    == [os.fsdecode(NON_UTF8)],
    "export file names": lambda acq, root, out: (
        vintrel.export_csv(acq, [0, 1], out, False),
        sorted(os.listdir(os.fsencode(out))) == [NON_UTF8 + b" (chunk 0).csv"])[1],
    "error naming a chunk file": lambda acq, root, out: (
        (root / "0.idx").unlink(), (root / "0.idx").symlink_to("0.idx"),  # a loop: ELOOP
        _raised(lambda: len(acq)).filename == str(root / "0.idx"))[-1],
}


def _raised(call):
    try:
        call()
    except OSError as e:
        return e
    return None


@pytest.mark.parametrize("view", NON_UTF8_VIEWS)
def test_a_directory_name_that_is_not_utf8(tmp_path, view):
    parent = tmp_path / "parent"
    parent.mkdir()
    root = acqwriter.write_acquisition(Path(os.fsdecode(bytes(parent) + b"/" + NON_UTF8)), MERROW, MERROW_EVENTS)
    out = tmp_path / "out"
    out.mkdir()
    assert NON_UTF8_VIEWS[view](vintrel.Acquisition(root), root, out)


def test_list_acquisitions(make_acq, tmp_path):
    make_acq(PARAMS, name="good")
    bad = make_acq(PARAMS, name="bad")
    (bad / "metadata.yml").write_text("params: {model: merrowv3, channels: 1, windows: 2, samples: 1}\n")
    nested = tmp_path / "sub"
    nested.mkdir()
    acqwriter.write_acquisition(nested / "deep", PARAMS)
    (tmp_path / "file").write_text("x")
    (tmp_path / "link").symlink_to(tmp_path / "good")
    found = vintrel.list_acquisitions(tmp_path)
    assert sorted(a.name for a in found) == ["good", "link"]
    assert all(type(a) is vintrel.Acquisition for a in found)
    assert vintrel.list_acquisitions(tmp_path / "missing") == []


class TestSideFiles:
    NAMES = {"readout_metadata": "readout_metadata", "pedestals_calibration": "pedestals_calibration",
             "timing_calibration": "timing_calibration", "adc_to_mv_calibration": "adc2mv_calibration"}

    @pytest.mark.parametrize("attribute", NAMES)
    def test_absent_gives_none_present_gives_a_fresh_object(self, make_acq, attribute):
        root = make_acq(PARAMS)
        acq = vintrel.Acquisition(root)
        assert getattr(acq, attribute) is None
        value = {"data": [[[1.5, 2]]], "kind": attribute}
        acqwriter.write_side_file(root, self.NAMES[attribute], value)
        first, second = getattr(acq, attribute), getattr(acq, attribute)
        assert first == value and first is not second

    def test_bad_content_raises_the_decoders_exception(self, make_acq):
        root = make_acq(PARAMS)
        acq = vintrel.Acquisition(root)
        (root / "readout_metadata").write_bytes(b"not gzip")
        with pytest.raises(gzip.BadGzipFile):
            acq.readout_metadata
        (root / "readout_metadata").write_bytes(gzip.compress(b"not a pickle"))
        with pytest.raises(pickle.UnpicklingError):
            acq.readout_metadata

    def test_unreadable_side_file(self, make_acq):
        root = make_acq(PARAMS)
        (root / "timing_calibration").mkdir()
        with pytest.raises(OSError, match="^Could not read acquisition: Is a directory"):
            vintrel.Acquisition(root).timing_calibration


def test_metadata_and_params_views(make_acq):
    acq = vintrel.Acquisition(make_acq(dict(PARAMS, extra_key=[1, 2])))
    assert acq.metadata is acq.metadata
    assert acq.params is acq.metadata["params"]
    assert acq.params["extra_key"] == [1, 2]
    del acq.metadata["params"]
    with pytest.raises(KeyError):
        acq.params
    assert acq.is_valid
    with pytest.raises(AttributeError):
        acq.name = "x"


def test_metadata_changes_on_disk_are_not_seen_by_the_python_view(make_acq):
    root = make_acq(PARAMS)
    acq = vintrel.Acquisition(root)
    (root / "metadata.yml").unlink()
    assert acq.params["channels"] == 4 and not acq.is_valid


@pytest.mark.parametrize("bad", [-1, 2**64])
def test_raw_event_index_out_of_range(make_acq, bad):
    acq = vintrel.Acquisition(make_acq(PARAMS, events(1)))
    with pytest.raises(OverflowError):
        acq.raw_event(bad)


def test_raw_event_index_type(make_acq):
    acq = vintrel.Acquisition(make_acq(PARAMS, events(1)))
    with pytest.raises(TypeError, match="^argument 'index'"):
        acq.raw_event("0")
    with pytest.raises(TypeError):
        acq.raw_event()


def test_no_descriptor_leaks_across_many_failing_calls(make_acq, tmp_path):
    root = make_acq(PARAMS, events(3))
    (root / "1.bin").write_bytes(b"")
    (root / "1.idx").write_bytes(index_entries((5, 5)))
    (root / "pedestals_calibration").write_bytes(b"garbage")
    acq = vintrel.Acquisition(root)
    before = open_fds()
    for _ in range(300):
        for call in (lambda: acq.raw_event(3), lambda: acq.raw_event(99), lambda: acq.pedestals_calibration,
                     lambda: vintrel.Acquisition(tmp_path / "missing"), lambda: len(acq), lambda: acq.chunk_count,
                     lambda: acq.timing_calibration, lambda: vintrel.list_acquisitions(tmp_path)):
            try:
                call()
            except Exception:
                pass
    assert open_fds() == before
