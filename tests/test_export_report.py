"""vintrel.export(): the files of export_csv, and a report that traces every
row of every file back to its event, lists what was left out and why, and
refuses to replace files unless asked to."""

import json
import os

import pytest

import vintrel
from encoders import merrowv3

PARAMS = merrowv3.sample_params(channels=2, windows=64, samples=2)
UNREADABLE = "could not be read"


def event(i):
    return merrowv3.encode_windows([[(0, i % 64, [i, i + 1]), (1, i % 64, [2 * i, 7])]])


@pytest.fixture(scope="module")
def acqs(tmp_path_factory):
    """run7: 2500 events; broken: 10 events, the last one cut short."""
    from acqwriter import write_acquisition
    base = tmp_path_factory.mktemp("report")
    run7 = write_acquisition(base / "run7", PARAMS, [event(i) for i in range(2500)], chunk_size=900)
    broken = write_acquisition(base / "broken", PARAMS, [event(i) for i in range(10)])
    os.truncate(broken / "0.bin", (broken / "0.bin").stat().st_size - 5)
    return {"run7": vintrel.Acquisition(run7), "broken": vintrel.Acquisition(broken)}


def rows_by_event(path):
    """A CSV file's rows without their first two columns, by evt_num."""
    rows = {}
    for line in path.read_text().splitlines()[1:]:
        _, evt, rest = line.split(",", 2)
        rows.setdefault(int(evt), []).append(rest)
    return rows


@pytest.mark.parametrize("name, indices, held, left_out", [
    ("run7", range(1500, 1510), [list(range(1500, 1510))], []),
    ("run7", slice(2400, None, 7), [list(range(2400, 2500, 7))], []),
    ("broken", [3, 9, 7, 3], [[3, 7, 3]], [(9, UNREADABLE)]),
    ("broken", range(12), [list(range(9))], [(9, UNREADABLE), (10, UNREADABLE), (11, UNREADABLE)]),
    ("run7", [5] * 1001, [[5] * 1000, [5]], []),
])
def test_every_row_traces_back_to_its_event(acqs, tmp_path, name, indices, held, left_out):
    acq = acqs[name]
    (tmp_path / "out").mkdir()
    report = vintrel.export(acq, indices, tmp_path / "out")
    assert [list(f.indices) for f in report.files] == held
    assert [(e.index, e.reason) for e in report.left_out] == left_out
    # The report's JSON alone gives each row's event: rows equal those of the event exported alone.
    data = json.loads(report.to_json())
    for entry in data["files"]:
        mapped = [i for run in entry["indices"] for i in range(*run)]
        rows = rows_by_event(tmp_path / "out" / entry["file"])
        assert len(rows) == len(mapped) == entry["events"]
        for j, index in enumerate(mapped):
            single = tmp_path / "single"
            single.mkdir(exist_ok=True)
            vintrel.export_csv(acq, [index], single, False)
            assert rows[j] == rows_by_event(single / f"{name} (chunk 0).csv")[0]
    assert [e["index"] for e in data["left_out"]] == [i for i, _ in left_out]
    assert (data["acquisition"], data["vintrel"]) == ({"path": acq.path, "name": name}, vintrel.__version__)


def test_the_files_are_those_of_export_csv(acqs, tmp_path):
    acq = acqs["run7"]
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    vintrel.export_csv(acq, range(2500), tmp_path / "a", False)
    report = vintrel.export(acq, range(2500), tmp_path / "b")
    assert sorted(os.listdir(tmp_path / "a")) == sorted(os.listdir(tmp_path / "b"))
    for f in report.files:
        assert open(f.path, "rb").read() == (tmp_path / "a" / os.path.basename(f.path)).read_bytes()
    assert [f.path for f in report.files] == [str(tmp_path / "b" / f"run7 (chunk {k}).csv") for k in range(3)]
    assert repr(report) == f"<ExportReport 'run7': 2,500 of 2,500 events in 3 files in '{tmp_path / 'b'}', 0 left out>"
    assert json.loads(report.to_json())["files"][2] == {"file": "run7 (chunk 2).csv", "events": 500,
                                                        "requested": 500, "indices": [[2000, 2500]]}


@pytest.mark.parametrize("existing, overwrite, refused", [
    ("run7 (chunk 1).csv", False, "run7 (chunk 1).csv"),
    ("run7 (chunk 1).csv", True, None),
    ("run7 (chunk 5).csv", False, None),  # not a name this export writes
])
def test_existing_files_are_replaced_only_when_asked(acqs, tmp_path, existing, overwrite, refused):
    (tmp_path / existing).write_text("mine")
    if refused:
        with pytest.raises(FileExistsError) as raised:
            vintrel.export(acqs["run7"], range(2500), tmp_path, overwrite=overwrite)
        assert raised.value.filename == str(tmp_path / refused)
        assert os.listdir(tmp_path) == [existing] and (tmp_path / existing).read_text() == "mine"
    else:
        report = vintrel.export(acqs["run7"], range(2500), tmp_path, overwrite=overwrite)
        assert len(report.files) == 3 and ((tmp_path / existing).read_text() == "mine") == (not overwrite)
    vintrel.export_csv(acqs["run7"], range(2500), tmp_path, False)  # export_csv itself still replaces


def test_a_missing_directory_still_fails_as_export_csv_fails(acqs, tmp_path):
    with pytest.raises(Exception, match="invalid path") as raised:
        vintrel.export(acqs["run7"], range(3), tmp_path / "missing")
    assert type(raised.value).__name__ == "ExportError"
    empty = vintrel.export(acqs["run7"], [], tmp_path / "missing")
    assert empty.files == () and empty.events == 0
