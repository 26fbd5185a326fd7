"""Sample columns encoded natively by the Parquet writer: what pyarrow,
polars and DuckDB read back, the pages cut at events, the columns left to
pyarrow, and offsets the native encoder refuses."""

import io

import numpy as np
import pytest

from vintrel import _parquet, _parquet_pages, _parquet_parallel, _vintrel

pa = pytest.importorskip("pyarrow", reason="the arrow extra (pyarrow) is not installed")
pq = pytest.importorskip("pyarrow.parquet")

# Events with no channel, channels with no sample, and ordinary ones.
EVENTS = [[[1.5, 2.0, 3.0], [4.0]], [], [[], [5.0, 6.0]], [[7.0] * 300, [], [8.0, 9.0]], [[]]]


def nested(leaf, nullable):
    inner = pa.large_list(pa.field("item", leaf, nullable=nullable))
    return pa.large_list(pa.field("item", inner, nullable=nullable))


def sample_table(leaf=pa.float32(), nullable=True, repeat=3):
    rows = EVENTS * repeat
    kind = nested(leaf, nullable)
    values = [[[int(v) for v in channel] for channel in event] for event in rows] if leaf == pa.uint16() else rows
    schema = pa.schema([pa.field("index", pa.int64(), nullable=nullable), pa.field("samples", kind, nullable=nullable)])
    return pa.table({"index": pa.array(range(len(rows)), pa.int64()), "samples": pa.array(values, kind)}, schema=schema)


def written(table, compression="zstd", threads=2, row_group=None):
    out = io.BytesIO()
    writer = _parquet_parallel.ParallelParquetWriter(out, table.schema, _parquet.piece_writer(pq, compression), threads)
    step = row_group or max(len(table), 1)
    for at in range(0, max(len(table), 1), step):
        writer.write_table(table.slice(at, step))
    writer.close()
    return pa.BufferReader(out.getvalue())


@pytest.fixture
def native_calls(monkeypatch):
    """The columns the native encoder was given, by row count."""
    calls = []
    encode = _parquet_pages.encode_chunk

    def counted(column, leaf):
        calls.append(len(column))
        return encode(column, leaf)

    monkeypatch.setattr(_parquet_parallel, "encode_chunk", counted)
    return calls


@pytest.mark.parametrize("leaf", [pa.float32(), pa.uint16()], ids=["float32", "uint16"])
@pytest.mark.parametrize("nullable", [True, False], ids=["nullable", "required"])
@pytest.mark.parametrize("compression", [None, "snappy", "zstd"])
def test_native_columns_read_back_as_written(native_calls, leaf, nullable, compression):
    table = sample_table(leaf, nullable)
    source = written(table, compression, row_group=4)
    assert pq.read_table(source).equals(table)
    assert sum(native_calls) == len(table)
    serial = pa.BufferOutputStream()
    pq.write_table(table, serial, compression=compression, row_group_size=4, **_parquet.ENCODING)
    ours, theirs = pq.read_metadata(source), pq.read_metadata(pa.BufferReader(serial.getvalue()))
    for g in range(ours.num_row_groups):
        mine, serials = ours.row_group(g).column(1), theirs.row_group(g).column(1)
        assert (mine.num_values, mine.path_in_schema, mine.physical_type, mine.compression) == \
            (serials.num_values, serials.path_in_schema, serials.physical_type, serials.compression)


def test_sliced_and_chunked_columns_keep_their_events(native_calls):
    table = pa.concat_tables([sample_table().slice(2, 7), sample_table().slice(5)])
    assert pq.read_table(written(table, row_group=5)).equals(table.combine_chunks())
    assert sum(native_calls) == len(table)


def test_a_page_per_event_is_read_by_every_reader(monkeypatch, tmp_path):
    monkeypatch.setattr(_parquet_pages, "PAGE_BYTES", 1)
    table = sample_table(repeat=2)
    path = tmp_path / "pages.parquet"
    path.write_bytes(written(table, threads=1).read())
    column = pq.ParquetFile(path).metadata.row_group(0).column(1)
    assert column.encodings == ("RLE", "BYTE_STREAM_SPLIT")
    assert column.num_values == sum(max(1, sum(max(1, len(c)) for c in e)) for e in table["samples"].to_pylist())
    meta = _parquet_parallel.footer_of(path.read_bytes())[4].value.items[0][1].value.items[1][3].value
    # a page ends with each event that has values; one without joins the next
    sizes = [sum(len(c) for c in e) for e in table["samples"].to_pylist()]
    pages = sum(1 for n in sizes if n) + (sizes[-1] == 0)
    assert [(s[1].value, s[2].value, s[3].value) for s in meta[13].value.items] == [(0, 9, pages)]
    assert pq.read_table(path).equals(table)
    polars = pytest.importorskip("polars")
    assert polars.read_parquet(path).equals(polars.from_arrow(table))
    duckdb = pytest.importorskip("duckdb")
    counted = duckdb.sql(f"SELECT count(*), sum(len(samples)), sum(list_sum([len(c) for c in samples])) "
                         f"FROM read_parquet('{path}')").fetchall()
    assert counted == [(len(table), sum(len(e) for e in EVENTS) * 2, sum(len(c) for e in EVENTS for c in e) * 2)]


NESTED = pa.large_list(pa.large_list(pa.float32()))


@pytest.mark.parametrize("table, compression", [
    (pa.table({"samples": pa.array([[[0.5]]] * 3 + [[[1.0], None]], NESTED)}), "zstd"),
    (pa.table({"samples": pa.array([[[0.5]]] * 3 + [None], NESTED)}), "zstd"),
    (pa.table({"samples": pa.array([[[0.5]]] * 3 + [[[1.0, None]]], NESTED)}), "zstd"),
    (sample_table(), "gzip"),
    (pa.table({"samples": pa.array([[[1.0]]], pa.large_list(pa.large_list(pa.float64())))}), "zstd"),
    (pa.table({"samples": pa.array([[[1]]], pa.list_(pa.list_(pa.uint16())))}), "zstd"),
], ids=["null list", "null event", "null value", "gzip", "float64", "32-bit offsets"])
def test_columns_the_native_encoder_does_not_take_are_written_by_pyarrow(monkeypatch, table, compression):
    # Two slices: with a null in the second only, the first is encoded natively
    # and the second by pyarrow, in one column chunk.
    monkeypatch.setattr(_parquet_parallel, "MIN_SLICE_ROWS", 1)
    assert pq.read_table(written(table, compression)).equals(table)


def offsets(*values):
    return np.array(values, np.int64)


VALUES = np.arange(6, dtype=np.float32)


@pytest.mark.parametrize("outer, inner, values, message", [
    (offsets(), offsets(0, 1), VALUES, "not monotonic"),
    (offsets(0, 2, 1), offsets(0, 1, 2), VALUES, "not monotonic"),
    (offsets(-1, 1), offsets(0, 1, 2), VALUES, "not monotonic"),
    (offsets(0, 3), offsets(0, 1, 2), VALUES, "past the lists"),
    (offsets(0, 2), offsets(0, 3, 1), VALUES, "not monotonic"),
    (offsets(0, 2), offsets(0, 3, 7), VALUES, "past the values"),
    (np.zeros(3, np.int32), offsets(0, 1), VALUES, "whole number of int64"),
])
def test_offsets_outside_their_arrays_are_refused(outer, inner, values, message):
    with pytest.raises(ValueError, match=message):
        _vintrel._parquet_pages(outer, inner, values, True, (1, 3, 5), 1 << 20)


@pytest.mark.parametrize("args, error", [
    ((offsets(0, 1), offsets(0, 1), VALUES, True, (1, 3), 1), ValueError),
    ((offsets(0, 1), offsets(0, 1), VALUES, True, (1, 3, 256), 1), ValueError),
    ((offsets(0, 1), offsets(0, 1), "values", True, (1, 3, 5), 1), TypeError),
    ((offsets(0, 1), offsets(0, 1), VALUES, 1, (1, 3, 5), 1), TypeError),
    ((offsets(0, 1), offsets(0, 1), VALUES, True, (1, 3, 5), -1), OverflowError),
])
def test_arguments_of_the_wrong_kind_are_refused(args, error):
    with pytest.raises(error):
        _vintrel._parquet_pages(*args)


def test_pages_end_at_events_and_hold_their_levels():
    outer, inner = offsets(0, 2, 2, 3), offsets(0, 3, 3, 5)
    pages = _vintrel._parquet_pages(outer, inner, np.arange(5, dtype=np.uint16), False, (1, 3, 5), 8)
    assert [(events, levels) for _, events, levels in pages] == [(1, 4), (2, 3)]
    first = pages[0][0]
    # repetition runs (0 x1, 2 x2, 1 x1), definition runs (5 x3, 3 x1), values widened to int32
    assert first == (bytes([6, 0, 0, 0, 2, 0, 4, 2, 2, 1, 4, 0, 0, 0, 6, 5, 2, 3])
                     + np.arange(3, dtype="<i4").tobytes())
