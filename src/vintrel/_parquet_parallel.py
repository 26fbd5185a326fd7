"""A Parquet writer that encodes each row group on every core.

pyarrow's writer encodes the columns of a row group one after another, on
one thread. Here each column of each slice of a row group's events is
written as a small Parquet file of its own, in memory, on a thread of its
own (the writer releases the interpreter lock). Each of those holds one
column chunk: its pages, then a footer. A column's pages from the slices,
laid end to end in event order, make the row group's column chunk (a page
starts at an event, and without dictionaries no page refers to another);
the footer describing them is built from the pieces' footers, and the
file's schema and key-value metadata from one written for no rows. The
sample columns are encoded natively instead (_parquet_pages.py): their
pages and ColumnMetaData are laid in the same way.

Only what the encoding of this package produces is taken apart: no
dictionary pages, page indexes or bloom filters (met, they are refused).
"""

from __future__ import annotations

import struct
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any, BinaryIO

from ._parquet_pages import NativeLeaf, encode_chunk, native_leaf
from ._thrift_compact import BINARY, I32, I64, LIST, STRUCT, TRUE, Field, ThriftList, decode_struct, encode_struct

__all__ = ["ParallelParquetWriter"]

MAGIC = b"PAR1"
# A slice of a row group holds at least this many events when it is cut for
# the threads' sake: below, the pieces' own footers and setup cost more than
# the cores win.
MIN_SLICE_ROWS = 512
# A slice holds at most about this many bytes of arrays: pyarrow's writer
# takes about four times a table's size to encode nested lists, so pieces of
# this size bound what encoding takes to a few tens of MiB per thread,
# however large the row group.
MAX_SLICE_BYTES = 8 << 20

# Field ids of the footer's structs (parquet.thrift).
FILE_SCHEMA, FILE_ROWS, FILE_ROW_GROUPS = 2, 3, 4
GROUP_COLUMNS, GROUP_BYTES, GROUP_ROWS, GROUP_OFFSET, GROUP_COMPRESSED = 1, 2, 3, 5, 6
CHUNK_PATH, CHUNK_FILE_OFFSET, CHUNK_META, CHUNK_INDEXES = 1, 2, 3, (4, 5, 6, 7, 8)
META_TYPE, META_ENCODINGS, META_PATH, META_CODEC, META_VALUES, META_PLAIN_SIZE, META_SIZE = 1, 2, 3, 4, 5, 6, 7
META_DATA_PAGE, META_INDEX_PAGE, META_DICTIONARY_PAGE = 9, 10, 11
META_STATISTICS, META_ENCODING_STATS, META_SIZE_STATISTICS = 12, 13, 16
META_KEPT = (1, 2, 3, 4, 8)  # type, encodings, path, codec, key-value metadata: the same in every slice
PHYSICAL_INT32, PHYSICAL_INT64 = 1, 2
STAT_NULLS, STAT_MAX, STAT_MIN = 3, 5, 6  # and the deprecated max (1) and min (2), written alike
STAT_EXACT = (7, 8)  # max and min are values that occur

Struct = dict[int, Field]


def footer_of(piece: Any) -> Struct:
    """The FileMetaData of a whole Parquet file held in memory (any buffer)."""
    piece = memoryview(piece).cast("B")
    if len(piece) < 12 or piece[:4] != MAGIC or piece[-4:] != MAGIC:
        raise ValueError("not a Parquet file")
    size = struct.unpack("<I", piece[-8:-4])[0]
    meta, _ = decode_struct(piece[-8 - size:-8])
    return meta


def items(fields: Struct, number: int) -> list[Any]:
    """The elements of a list field (none when it is absent)."""
    field = fields.get(number)
    if field is None:
        return []
    if not isinstance(field.value, ThriftList):
        raise ValueError(f"footer field {number} is not a list")
    return field.value.items


def value(fields: Struct, number: int, default: Any = 0) -> Any:
    """The value of a field, or `default` when it is absent."""
    field = fields.get(number)
    return default if field is None else field.value


def structs(parts: list[Field | None]) -> list[Struct] | None:
    """The struct of each field, or None when one is absent."""
    found = [part.value for part in parts if part is not None and isinstance(part.value, dict)]
    return found if len(found) == len(parts) else None


class ColumnPieces:
    """One leaf column of a row group, gathered slice by slice."""

    def __init__(self) -> None:
        self.pages: list[bytes | memoryview] = []
        self.metas: list[Struct] = []

    def add_encoded(self, pages: list[bytes], meta: Struct) -> None:
        """The pages of one slice encoded natively, and their ColumnMetaData."""
        self.pages += pages
        self.metas.append(meta)

    def add(self, piece: memoryview, chunk: Struct) -> None:
        """The pages of one slice: `chunk` is their ColumnChunk in `piece`, a whole file."""
        if CHUNK_PATH in chunk or any(number in chunk for number in CHUNK_INDEXES):
            raise ValueError("column chunk with an external file or a page index")
        meta = value(chunk, CHUNK_META, None)
        if not isinstance(meta, dict):
            raise ValueError("column chunk without its metadata")
        if META_DICTIONARY_PAGE in meta or META_INDEX_PAGE in meta:
            raise ValueError("column chunk with a dictionary or index page")
        start, size = value(meta, META_DATA_PAGE), value(meta, META_SIZE)
        if size == 0:  # no rows, no pages
            start = 4
        if not 4 <= start <= start + size <= len(piece) - 8:
            raise ValueError("column chunk outside its file")
        self.pages.append(piece[start:start + size])
        self.metas.append(meta)

    def meta_at(self, offset: int) -> Struct:
        """The ColumnMetaData of the chunk made of every slice's pages, written at `offset`."""
        first = self.metas[0]
        meta = {number: first[number] for number in META_KEPT if number in first}
        for number in (META_VALUES, META_PLAIN_SIZE, META_SIZE):
            meta[number] = Field(I64, sum(value(m, number) for m in self.metas))
        # pyarrow's writer says 0 where a chunk has no pages
        meta[META_DATA_PAGE] = Field(I64, offset if meta[META_SIZE].value else 0)
        encodings: list[Any] = []  # of ints
        for m in self.metas:
            encodings += [e for e in items(m, META_ENCODINGS) if e not in encodings]
        meta[META_ENCODINGS] = Field(LIST, ThriftList(I32, encodings))
        merged = merged_statistics(value(first, META_TYPE), [m.get(META_STATISTICS) for m in self.metas])
        if merged is not None:
            meta[META_STATISTICS] = Field(STRUCT, merged)
        counts = encoding_counts(self.metas)
        if counts is not None:
            meta[META_ENCODING_STATS] = Field(LIST, counts)
        sizes = size_statistics([m.get(META_SIZE_STATISTICS) for m in self.metas])
        if sizes is not None:
            meta[META_SIZE_STATISTICS] = Field(STRUCT, sizes)
        return meta


def merged_statistics(physical: int, parts: list[Field | None]) -> Struct | None:
    """Null count, min and max over the slices, for integer columns whose
    every slice has them (the only statistics this package asks for);
    otherwise none, which readers take as unknown."""
    stats = structs(parts)
    if physical not in (PHYSICAL_INT32, PHYSICAL_INT64) or stats is None:
        return None
    code = "<i" if physical == PHYSICAL_INT32 else "<q"
    if any(STAT_NULLS not in s or (STAT_MAX in s) != (STAT_MIN in s) for s in stats):
        return None
    merged: Struct = {STAT_NULLS: Field(I64, sum(value(s, STAT_NULLS) for s in stats))}
    valued = [s for s in stats if STAT_MAX in s]  # a slice of nulls only has no min or max
    if valued:
        high = struct.pack(code, max(struct.unpack(code, value(s, STAT_MAX))[0] for s in valued))
        low = struct.pack(code, min(struct.unpack(code, value(s, STAT_MIN))[0] for s in valued))
        merged.update({1: Field(BINARY, high), 2: Field(BINARY, low),
                       STAT_MAX: Field(BINARY, high), STAT_MIN: Field(BINARY, low)})
        for flag in STAT_EXACT:  # the extremes of exact extremes are exact
            if all(value(s, flag, False) is True for s in valued):
                merged[flag] = Field(TRUE, True)
    return merged


def encoding_counts(metas: list[Struct]) -> ThriftList | None:
    """Pages per (page type, encoding), summed over the slices."""
    if any(META_ENCODING_STATS not in m for m in metas):
        return None
    counts: dict[tuple[int, int], int] = {}
    for m in metas:
        for entry in items(m, META_ENCODING_STATS):
            key = (value(entry, 1), value(entry, 2))
            counts[key] = counts.get(key, 0) + value(entry, 3)
    entries: list[Any] = [{1: Field(I32, page), 2: Field(I32, encoding), 3: Field(I32, count)}
                          for (page, encoding), count in counts.items()]
    return ThriftList(STRUCT, entries)


def size_statistics(parts: list[Field | None]) -> Struct | None:
    """Level histograms and byte counts, summed over the slices (none when
    a slice lacks them or they do not match)."""
    stats = structs(parts)
    if stats is None or any(s.keys() != stats[0].keys() for s in stats):
        return None
    merged: Struct = {}
    for number, (kind, _) in stats[0].items():
        if kind == I64:
            merged[number] = Field(I64, sum(value(s, number) for s in stats))
        elif kind == LIST and len({len(items(s, number)) for s in stats}) == 1:
            merged[number] = Field(LIST, ThriftList(I64, [sum(c) for c in zip(*(items(s, number) for s in stats))]))
        else:
            return None
    return merged


def native_leaves(schema: Any, template: Struct) -> dict[str, NativeLeaf]:
    """The columns of `schema` written natively, by name, from the footer of
    a file of no rows that pyarrow's writer wrote for it."""
    groups = items(template, FILE_ROW_GROUPS)
    chunks = [value(chunk, CHUNK_META, {}) for chunk in items(groups[0], GROUP_COLUMNS)] if groups else []
    native: dict[str, NativeLeaf] = {}
    for field in schema:
        leaves = [meta for meta in chunks if items(meta, META_PATH)[:1] == [field.name.encode()]]
        if len(leaves) != 1:  # a column of several leaves (structs) stays with pyarrow
            continue
        leaf = native_leaf(field, [bytes(p) for p in items(leaves[0], META_PATH)], value(leaves[0], META_CODEC, -1))
        if leaf is not None:
            native[field.name] = leaf
    return native


def slice_count(rows: int, size: int, threads: int) -> int:
    """How many slices to cut a row group of `rows` events and `size` bytes
    into: one per thread if each gets MIN_SLICE_ROWS events, and more if a
    slice would exceed MAX_SLICE_BYTES (down to one event a slice)."""
    by_threads = min(threads, rows // MIN_SLICE_ROWS)
    by_size = -(-size // MAX_SLICE_BYTES)
    return max(1, min(rows, max(by_threads, by_size)))


class ParallelParquetWriter:
    """Writes tables of one schema as row groups of a Parquet file on
    `file`, each encoded on up to `threads` threads (see the module
    docstring). `write_piece(table)` returns the bytes (any buffer) of a
    whole Parquet file of the table, one row group, encoded as wanted."""

    def __init__(self, file: BinaryIO, schema: Any, write_piece: Callable[[Any], bytes], threads: int) -> None:
        self.file = file
        self.schema = schema
        self.write_piece = write_piece
        self.threads = max(1, threads)
        self.template = footer_of(write_piece(schema.empty_table()))
        self.native = native_leaves(schema, self.template)
        self.row_groups: list[Any] = []
        self.rows = 0
        self.offset = 0
        self.pool = ThreadPoolExecutor(max_workers=self.threads, thread_name_prefix="vintrel-parquet")
        self.put(MAGIC)

    def put(self, data: bytes | memoryview) -> None:
        """Appends to the file, counting where the next bytes go."""
        self.file.write(data)
        self.offset += len(data)

    def write_table(self, table: Any) -> None:
        """One row group of every row of `table`."""
        if table.schema != self.schema:
            raise ValueError("table does not have the writer's schema")
        rows = len(table)
        slices = slice_count(rows, table.nbytes, self.threads)
        bounds = [rows * s // slices for s in range(slices + 1)]
        spans = [(bounds[s], bounds[s + 1] - bounds[s]) for s in range(slices)]
        futures = [[self.pool.submit(self.encode, table, name, span) for span in spans] for name in table.column_names]
        columns: list[ColumnPieces] = []
        for per_slice in futures:
            leaves: list[ColumnPieces] = []
            for future in per_slice:
                encoded = future.result()
                if isinstance(encoded, tuple):
                    leaves = leaves or [ColumnPieces()]
                    leaves[0].add_encoded(*encoded)
                    continue
                piece = memoryview(encoded).cast("B")  # a pyarrow Buffer
                groups = items(footer_of(piece), FILE_ROW_GROUPS)
                chunks = items(groups[0], GROUP_COLUMNS) if groups else []
                if len(groups) != 1 or (leaves and len(chunks) != len(leaves)):
                    raise ValueError("a piece does not hold one row group of its column")
                leaves = leaves or [ColumnPieces() for _ in chunks]
                for leaf, chunk in zip(leaves, chunks):
                    leaf.add(piece, chunk)
            columns += leaves
        self.add_row_group(columns, rows)

    def encode(self, table: Any, name: str, span: tuple[int, int]) -> Any:
        """One column of one slice: natively encoded pages and their metadata,
        or (for other columns, and slices with nulls) a Parquet file written by pyarrow."""
        leaf = self.native.get(name)
        encoded = encode_chunk(table.column(name).slice(*span), leaf) if leaf is not None else None
        return encoded if encoded is not None else self.write_piece(table.select([name]).slice(*span))

    def add_row_group(self, columns: list[ColumnPieces], rows: int) -> None:
        """Writes every column's pages and notes the row group for the footer."""
        start = self.offset
        chunks: list[Any] = []
        plain = compressed = 0
        for column in columns:
            meta = column.meta_at(self.offset)
            for pages in column.pages:
                self.put(pages)
            # the deprecated offset of the chunk's metadata: 0, as pyarrow writes it
            chunks.append({CHUNK_FILE_OFFSET: Field(I64, 0), CHUNK_META: Field(STRUCT, meta)})
            plain += value(meta, META_PLAIN_SIZE)
            compressed += value(meta, META_SIZE)
        self.row_groups.append({GROUP_COLUMNS: Field(LIST, ThriftList(STRUCT, chunks)),
                                GROUP_BYTES: Field(I64, plain), GROUP_ROWS: Field(I64, rows),
                                GROUP_OFFSET: Field(I64, start), GROUP_COMPRESSED: Field(I64, compressed)})
        self.rows += rows

    def close(self) -> None:
        """Writes the footer (the file stays open: it is the caller's)."""
        self.pool.shutdown()
        footer = dict(self.template)
        footer[FILE_ROWS] = Field(I64, self.rows)
        footer[FILE_ROW_GROUPS] = Field(LIST, ThriftList(STRUCT, self.row_groups))
        encoded = encode_struct(footer)
        self.put(encoded)
        self.put(struct.pack("<I", len(encoded)) + MAGIC)

    def abandon(self) -> None:
        """Stops the threads without writing anything more."""
        self.pool.shutdown(cancel_futures=True)
