"""EventArrays as Arrow, pandas and polars over the same memory, and
Parquet files (export_parquet and `vintrel export --format parquet`) that
polars and DuckDB read back as arrays() gives the events: every board,
atomic files, the extra named without pyarrow."""

import os
import random
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import vintrel
from encoders import MODULES, merrowv3
from test_arrays import as_dicts, sample_events
from test_batches import merrow_acq
from test_cli import ENV, cli

pa = pytest.importorskip("pyarrow", reason="the arrow extra (pyarrow) is not installed")
pq = pytest.importorskip("pyarrow.parquet")


def model_acq(make_acq, model):
    params, events = sample_events(model)
    return vintrel.Acquisition(make_acq(params, events, chunk_size=3))


def address(array):
    return array.__array_interface__["data"][0]


def buffer_pairs(arrays, table):
    """(Arrow buffer, numpy array) for every buffer the table should share
    (an empty array has no memory to share and is left out)."""
    pairs = [(table.column("index").chunk(0).buffers()[1], arrays.index)]
    for name, (values, offsets) in arrays._lists().items():
        events = table.column(name).chunk(0)
        channels = events.values
        pairs += [(events.buffers()[1], arrays.channel_offsets), (channels.buffers()[1], offsets)]
        if isinstance(values, vintrel.EccErrorArrays):
            pairs += [(channels.values.field(k).buffers()[1], field) for k, field in enumerate(values)]
        else:
            pairs.append((channels.values.buffers()[1], values))
    return [(buffer, array) for buffer, array in pairs if array.size]


def rows_of(records):
    """Event dictionaries of rows read back; the fields absent for the board dropped."""
    return [{k: v for k, v in row.items() if k != "index"} for row in records]


def expected_rows(arrays):
    return [{k: v for k, v in event.items() if v is not None} for event in as_dicts(arrays)]


def ecc_as_tuples(rows):
    for row in rows:
        if "ecc_errors" in row:
            row["ecc_errors"] = [[tuple(e.values()) if isinstance(e, dict) else tuple(e) for e in channel]
                                 for channel in row["ecc_errors"]]
    return rows


@pytest.mark.parametrize("model", sorted(MODULES))
def test_arrow_shares_every_buffer_and_polars_and_pandas_too(make_acq, model):
    arrays = model_acq(make_acq, model).arrays()
    table = arrays.to_arrow()
    assert table.num_rows == len(arrays) and table.column_names == ["index", *arrays._lists()]
    assert table.schema.field("data").type == pa.large_list(pa.large_list(pa.float32()))
    for buffer, array in buffer_pairs(arrays, table):
        assert buffer.address == address(array)
    frame = arrays.to_polars()
    for buffer, array in buffer_pairs(arrays, frame.to_arrow()):
        assert buffer.address == address(array)
    pandas = arrays.to_pandas()
    assert all(str(dtype).endswith("[pyarrow]") for dtype in pandas.dtypes)
    assert pandas["index"].tolist() == arrays.index.tolist()
    assert ecc_as_tuples(rows_of(frame.to_dicts())) == expected_rows(arrays)


VIEWS_OUTLIVE_THE_ARRAYS = r"""
import gc, sys
import numpy as np
import vintrel
acq = vintrel.Acquisition(sys.argv[1])
arrays = acq.arrays()
table, frame, pandas = arrays.to_arrow(), arrays.to_polars(), arrays.to_pandas()
del arrays
gc.collect()
fresh = acq.arrays().data
assert np.array_equal(table.column("data").combine_chunks().flatten().flatten().to_numpy(), fresh)
assert np.array_equal(frame["data"].explode().explode().to_numpy(), fresh)
assert np.array_equal(np.concatenate([np.concatenate(e) for e in pandas["data"].tolist()]), fresh)
"""


def test_the_table_and_frames_keep_the_memory_alive(make_acq):
    # In a process of its own: memory released too early is unmapped, and reading it crashes.
    # 300 events: columns large enough to be mappings of their own.
    acq = merrow_acq(make_acq, 300)
    result = cli(acq.path, code=VIEWS_OUTLIVE_THE_ARRAYS)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("model", sorted(MODULES))
def test_parquet_read_by_polars_and_duckdb_equals_arrays(make_acq, tmp_path, model):
    polars = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    acq = model_acq(make_acq, model)
    path = tmp_path / "events.parquet"
    report = vintrel.export_parquet(acq, range(0, len(acq) + 2), path, row_group_events=3)
    arrays = acq.arrays(range(0, len(acq) + 2))
    assert report == (str(path), len(arrays), report.left_out)
    assert [(i, str(e)) for i, e in report.left_out] == [(i, str(e)) for i, e in arrays.errors]
    assert pq.ParquetFile(path).metadata.num_row_groups == -(-(len(acq) + 2) // 3)
    frame = polars.read_parquet(path)
    assert frame["index"].to_list() == arrays.index.tolist()
    assert ecc_as_tuples(rows_of(frame.to_dicts())) == expected_rows(arrays)
    rows = duckdb.sql(f"SELECT * FROM read_parquet('{path}') ORDER BY index").fetchall()
    names = frame.columns
    assert ecc_as_tuples(rows_of([dict(zip(names, row)) for row in rows])) == expected_rows(arrays)


@pytest.mark.parametrize("indices, expected", [
    (None, list(range(10))), (slice(2, None, 3), [2, 5, 8]), (range(9, 3, -2), [9, 7, 5]), ([4, 4, 0], [4, 4, 0]),
    ((i for i in [1, 2]), [1, 2]), ([], []),
])
def test_export_parquet_takes_the_index_forms_of_arrays(make_acq, tmp_path, indices, expected):
    acq = merrow_acq(make_acq, 10)
    path = tmp_path / "out.parquet"
    with pytest.warns(RuntimeWarning, match="no pedestals_calibration file") as said:
        vintrel.export_parquet(acq, indices, path, row_group_events=2, pedestals_correction=True, compression=None)
    assert [w.filename for w in said] == [__file__]
    table = pq.read_table(path)
    assert table.column("index").to_pylist() == expected
    assert table.column("data").to_pylist() == [acq[i]["data"] for i in expected]
    assert table.schema.metadata[b"vintrel.acquisition"] == acq.name.encode()
    assert table.schema.metadata[b"vintrel.pedestals_corrected"] == b"false"  # no pedestal file


@pytest.mark.parametrize("indices, error", [(slice(None, None, -1), IndexError), ([1, -1], OverflowError),
                                            ([0] * 5 + ["x"], TypeError)])
def test_a_failed_export_leaves_no_file_and_the_old_one_whole(make_acq, tmp_path, indices, error):
    acq = merrow_acq(make_acq, 6)
    (tmp_path / "out").mkdir()
    path = tmp_path / "out" / "out.parquet"
    path.write_bytes(b"older")
    with pytest.raises(error):
        vintrel.export_parquet(acq, indices, path, row_group_events=2)
    assert os.listdir(path.parent) == ["out.parquet"] and path.read_bytes() == b"older"


def test_the_file_gets_the_permissions_of_a_new_file(make_acq, tmp_path):
    acq = merrow_acq(make_acq, 2)
    old = os.umask(0o027)
    try:
        vintrel.export_parquet(acq, None, tmp_path / "a.parquet")
    finally:
        os.umask(old)
    assert (tmp_path / "a.parquet").stat().st_mode & 0o777 == 0o640


@pytest.mark.parametrize("kwargs, error", [({"row_group_events": 0}, ValueError),
                                           ({"row_group_events": True}, ValueError),
                                           ({"compression": "nope"}, Exception)])
def test_bad_arguments(make_acq, tmp_path, kwargs, error):
    acq = merrow_acq(make_acq, 2)
    (tmp_path / "out").mkdir()
    with pytest.raises(error):
        vintrel.export_parquet(acq, None, tmp_path / "out" / "x.parquet", **kwargs)
    with pytest.raises(TypeError, match="Acquisition"):
        vintrel.export_parquet(acq.path, None, tmp_path / "out" / "x.parquet")
    assert os.listdir(tmp_path / "out") == []


@pytest.mark.parametrize("offsets, message", [([0, 1, 9], "offset|bounds|length"), ([0, 2, 1], "offset|decreas")])
def test_hand_made_offsets_that_point_outside_are_refused(offsets, message):
    arrays = vintrel.EventArrays(
        index=np.arange(2, dtype=np.int64), errors=[], channel_offsets=np.array([0, 1, 2], dtype=np.int64),
        data=np.zeros(2, np.float32), data_offsets=np.array(offsets, dtype=np.int64),
        time=np.zeros(2, np.uint16), time_offsets=np.array([0, 1, 2], dtype=np.int64),
        window_labels=np.zeros(2, np.uint16), window_label_offsets=np.array([0, 1, 2], dtype=np.int64))
    with pytest.raises(pa.ArrowInvalid, match=message):
        arrays.to_arrow()


@pytest.mark.parametrize("call", ["to_arrow", "to_pandas", "to_polars", "export_parquet"])
def test_without_pyarrow_the_extra_is_named(make_acq, tmp_path, monkeypatch, call):
    acq = merrow_acq(make_acq, 1)
    arrays = acq.arrays()
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    monkeypatch.setitem(sys.modules, "pyarrow.parquet", None)
    with pytest.raises(ImportError, match=r"pip install vintrel\[arrow\]"):
        if call == "export_parquet":
            vintrel.export_parquet(acq, None, tmp_path / "x.parquet")
        else:
            getattr(arrays, call)()
    assert not (tmp_path / "x.parquet").exists()


# ---- the command line ----

def test_cli_writes_the_file_export_parquet_writes(make_acq, tmp_path):
    params = merrowv3.sample_params()
    events = [merrowv3.sample_event(params, random.Random(k)) for k in range(30)] + [b"\1"]
    acq = vintrel.Acquisition(make_acq(params, events, chunk_size=7))
    out = tmp_path / "out"
    result = cli("export", acq.path, out, "--format", "parquet", "--range", "5:")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"exported 25 of 26 events to {out / acq.name}.parquet",
                                          "left out 1 event that could not be parsed: 30"]
    assert os.listdir(out) == [f"{acq.name}.parquet"]
    table = pq.read_table(out / f"{acq.name}.parquet")
    assert table.column("index").to_pylist() == list(range(5, 30))
    assert table.drop_columns([]).equals(acq.arrays(range(5, 31)).to_arrow().replace_schema_metadata(
        table.schema.metadata))
    written = (out / f"{acq.name}.parquet").read_bytes()
    refused = cli("export", acq.path, out, "--format", "parquet", "--range", "0:3")
    assert refused.returncode == 1 and refused.stderr == (
        f"vintrel export: {out / acq.name}.parquet: exists; the export replaces no file without --overwrite\n")
    assert (out / f"{acq.name}.parquet").read_bytes() == written
    missing = cli("export", acq.path, out, "--format", "parquet", "--pedestals", "--quiet", "--overwrite")
    assert missing.returncode == 0 and missing.stdout == ""
    assert pq.read_table(out / f"{acq.name}.parquet").num_rows == 30
    assert "no usable pedestals_calibration side file: the export runs without correction" in missing.stderr


def test_cli_without_pyarrow_names_the_extra(make_acq, tmp_path):
    acq = merrow_acq(make_acq, 1)
    code = ("import sys; sys.modules['pyarrow'] = None; sys.modules['pyarrow.parquet'] = None; "
            "from vintrel.cli import main; sys.exit(main())")
    result = cli("export", acq.path, tmp_path / "out", "--format", "parquet", code=code)
    assert result.returncode == 1 and r"pip install vintrel[arrow]" in result.stderr
    assert not (tmp_path / "out").exists()


def test_cli_ctrl_c_leaves_no_partial_file(tmp_path):
    from acqwriter import write_acquisition
    params = merrowv3.sample_params()
    events = [merrowv3.sample_event(params, random.Random(i)) for i in range(50)]
    acq = vintrel.Acquisition(write_acquisition(tmp_path / "long", params, events * 400, chunk_size=5000))
    out = tmp_path / "out"
    proc = subprocess.Popen([sys.executable, "-m", "vintrel", "export", acq.path, out, "--format", "parquet"],
                            env=ENV, text=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    # Interrupted once the file under its temporary name has grown by a row group or more.
    while proc.poll() is None and not (out.exists() and any(
            name.endswith(".part") and (out / name).stat().st_size > 1 << 20 for name in os.listdir(out))):
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    _, stderr = proc.communicate(timeout=60)
    assert proc.returncode == 130 and "Traceback" not in stderr and "interrupted; no file written" in stderr
    assert os.listdir(out) == []
