"""Parquet row groups encoded on several threads and stitched into one
file: the footer codec, and files that pyarrow, polars and DuckDB read as
the table written, with the statistics a serial writer would give."""

import io
import struct

import pytest

import vintrel
from vintrel import _parquet, _parquet_parallel
from vintrel._thrift_compact import (BINARY, I16, I32, I64, LIST, STRUCT, TRUE, Field, ThriftList, decode_struct,
                                     encode_struct)
from test_arrow import model_acq

pa = pytest.importorskip("pyarrow", reason="the arrow extra (pyarrow) is not installed")
pq = pytest.importorskip("pyarrow.parquet")

def footer_bytes(buffer):
    data = bytes(buffer)
    size = struct.unpack("<I", data[-8:-4])[0]
    return data[-8 - size:-8]


def sample_table(rows):
    lists = [[[float(r), r / 2], []] if r % 3 else [[float(-r)]] for r in range(rows)]
    return pa.table({"index": pa.array([(r * 7) % rows - 5 for r in range(rows)], pa.int64()),
                     "data": pa.array(lists, pa.large_list(pa.large_list(pa.float32()))),
                     "pair": pa.array([{"a": r, "b": [r] * (r % 4)} for r in range(rows)])})


@pytest.mark.parametrize("table", [sample_table(0), sample_table(40)], ids=["empty", "rows"])
def test_pyarrow_footers_decode_and_encode_to_the_same_bytes(table):
    sink = pa.BufferOutputStream()
    pq.write_table(table, sink, compression="zstd", **_parquet.ENCODING)
    footer = footer_bytes(sink.getvalue())
    decoded, used = decode_struct(footer)
    assert used == len(footer)
    assert encode_struct(decoded) == footer


def test_the_codec_round_trips_every_form_it_writes():
    fields = {1: Field(TRUE, True), 2: Field(TRUE, False), 3: Field(I16, -300), 40: Field(I64, -(2**63)),
              41: Field(I32, 2**31 - 1), 60: Field(BINARY, b"\x00\xff" * 100),
              61: Field(LIST, ThriftList(TRUE, [True, False, True])),
              62: Field(LIST, ThriftList(I64, list(range(-20, 20)))),
              63: Field(STRUCT, {1: Field(LIST, ThriftList(STRUCT, [{}, {7: Field(I32, 1)}]))})}
    encoded = encode_struct(fields)
    assert decode_struct(encoded + b"tail") == (fields, len(encoded))


@pytest.mark.parametrize("data, message", [
    (b"\x16", "ends early"),                      # an i64 field without its value
    (b"\x18\x05ab", "ends early"),                # binary longer than the data
    (b"\x19\xf5\xff\xff\xff\x0f", "longer"),      # a list claiming 4 billion elements
    (b"\x16" + b"\xff" * 10 + b"\x01", "too long"),  # a varint of 77 bits
    (b"\x1b\x00", "not supported"),               # a map
    (b"\x1c" * 70, "nested too deeply"),
])
def test_broken_footers_are_refused(data, message):
    with pytest.raises(ValueError, match=message):
        decode_struct(data)


def stitched(table, *, threads, min_slice, monkeypatch, row_group=None, max_bytes=8 << 20):
    """The table written by the parallel writer, in row groups of `row_group` rows."""
    monkeypatch.setattr(_parquet_parallel, "MIN_SLICE_ROWS", min_slice)
    monkeypatch.setattr(_parquet_parallel, "MAX_SLICE_BYTES", max_bytes)
    out = io.BytesIO()
    writer = _parquet_parallel.ParallelParquetWriter(out, table.schema, _parquet.piece_writer(pq, "zstd"), threads)
    step = row_group or max(len(table), 1)
    for at in range(0, max(len(table), 1), step):
        writer.write_table(table.slice(at, step))
    writer.close()
    return out.getvalue()


@pytest.mark.parametrize("rows, row_group, threads, min_slice, max_bytes", [
    (0, None, 3, 1, 1 << 20), (1, None, 3, 1, 1 << 20), (50, None, 3, 1, 1 << 20), (50, 7, 2, 2, 1 << 20),
    (50, None, 1, 1, 1 << 20), (50, None, 4, 100, 1 << 20), (50, 20, 1, 100, 1)])
def test_stitched_files_read_as_written_with_serial_statistics(monkeypatch, rows, row_group, threads, min_slice,
                                                               max_bytes):
    table = sample_table(rows)
    made = stitched(table, threads=threads, min_slice=min_slice, monkeypatch=monkeypatch, row_group=row_group,
                    max_bytes=max_bytes)
    assert pq.read_table(pa.BufferReader(made)).equals(table)
    serial = pa.BufferOutputStream()
    pq.write_table(table, serial, compression="zstd", row_group_size=row_group or max(rows, 1), **_parquet.ENCODING)
    ours, theirs = pq.read_metadata(pa.BufferReader(made)), pq.read_metadata(pa.BufferReader(serial.getvalue()))
    assert (ours.num_rows, ours.num_row_groups, ours.schema) == (theirs.num_rows, theirs.num_row_groups, theirs.schema)
    for g in range(ours.num_row_groups):
        for c in range(ours.num_columns):
            mine, serials = ours.row_group(g).column(c), theirs.row_group(g).column(c)
            assert (mine.num_values, mine.path_in_schema, mine.is_stats_set) == \
                (serials.num_values, serials.path_in_schema, serials.is_stats_set)
            if serials.is_stats_set:
                assert mine.statistics.to_dict() == serials.statistics.to_dict()
        assert ours.row_group(g).num_rows == theirs.row_group(g).num_rows
    assert statistics_fields(made) == statistics_fields(serial.getvalue())  # the exactness flags too


@pytest.mark.parametrize("rows, size, threads, slices", [
    (0, 0, 2, 1), (1000, 1 << 20, 2, 1), (1024, 1 << 20, 2, 2), (5000, 1 << 20, 3, 3),  # one per thread
    (5000, 59 << 20, 2, 8), (3, 1 << 30, 2, 3),  # at most 8 MiB a slice, down to one event
])
def test_slices_are_one_per_thread_and_small_enough(rows, size, threads, slices):
    assert _parquet_parallel.slice_count(rows, size, threads) == slices


def statistics_fields(buffer):
    """The Statistics struct of every column chunk, as the footer has it."""
    footer, _ = decode_struct(footer_bytes(buffer))
    return [[chunk[3].value.get(12) for chunk in group[1].value.items] for group in footer[4].value.items]


def test_polars_and_duckdb_read_a_sliced_export_as_arrays(make_acq, tmp_path, monkeypatch):
    polars = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    monkeypatch.setattr(_parquet_parallel, "MIN_SLICE_ROWS", 2)
    monkeypatch.setattr(_parquet, "pool_size", lambda: 3)
    acq = model_acq(make_acq, "merrowv3")
    path = tmp_path / "events.parquet"
    vintrel.export_parquet(acq, range(len(acq)), path, row_group_events=4)
    expected = acq.arrays().to_arrow()
    assert pq.read_table(path).select(expected.column_names).equals(expected)
    assert polars.read_parquet(path).equals(polars.from_arrow(expected))
    counted = duckdb.sql(f"SELECT count(*), sum(len(data)), min(index), max(index) FROM read_parquet('{path}')")
    index = expected.column("index").to_pylist()
    assert counted.fetchall() == [(len(index), 4 * len(index), min(index), max(index))]


@pytest.mark.parametrize("options, message", [
    ({"use_dictionary": True}, "dictionary"),
    ({"use_dictionary": False, "write_page_index": True}, "page index"),
])
def test_pieces_that_cannot_be_laid_end_to_end_are_refused(options, message):
    def written_with(table):
        sink = pa.BufferOutputStream()
        pq.write_table(table, sink, **options)
        return sink.getvalue()

    table = pa.table({"index": pa.array([1, 1, 2], pa.int64())})
    writer = _parquet_parallel.ParallelParquetWriter(io.BytesIO(), table.schema, written_with, 2)
    with pytest.raises(ValueError, match=message):
        writer.write_table(table)
    with pytest.raises(ValueError, match="schema"):
        writer.write_table(pa.table({"index": pa.array([1.5])}))
    writer.abandon()


@pytest.mark.parametrize("data", [b"", b"PAR1PAR1", b"PAR1" + b"\0" * 8 + b"PAR2"])
def test_what_is_not_a_parquet_file_has_no_footer(data):
    with pytest.raises(ValueError, match="not a Parquet file"):
        _parquet_parallel.footer_of(data)


@pytest.mark.parametrize("chunk, message", [
    ({}, "without its metadata"),
    ({3: Field(I64, 5)}, "without its metadata"),
    ({3: Field(STRUCT, {9: Field(I64, 4), 7: Field(I64, 1 << 20)})}, "outside its file"),
    ({3: Field(STRUCT, {9: Field(I64, 2), 7: Field(I64, 1)})}, "outside its file"),
])
def test_column_chunks_that_do_not_describe_pages_of_their_file_are_refused(chunk, message):
    piece = memoryview(b"PAR1" + bytes(32) + b"PAR1")
    with pytest.raises(ValueError, match=message):
        _parquet_parallel.ColumnPieces().add(piece, chunk)
