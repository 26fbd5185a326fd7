"""Column chunks of the sample columns, encoded natively.

pyarrow's writer builds a repetition and a definition level for every value
of a list<list<number>> column, then encodes them, which costs more than
compressing the values. `data`, `time` and `window_labels` have no nulls and
a plain shape, so their levels are runs that follow from the offsets alone:
the native module writes them as runs, splits the float values into byte
streams or widens the uint16 ones to int32, and cuts pages at events
(vintrel._vintrel._parquet_pages, without the interpreter lock). Here each
page body is compressed and given its header, and the ColumnMetaData of the
chunk is made as pyarrow's writer would make it, without statistics (the
package asks for none on these columns).

A column is taken this way only when its type is large_list<large_list<float32
or uint16>>, it has no nulls, and the codec is one this module can name;
otherwise pyarrow writes it.
"""

from __future__ import annotations

from typing import Any, NamedTuple

import numpy as np

from . import _vintrel
from ._arrow import pyarrow
from ._thrift_compact import BINARY, I32, I64, LIST, STRUCT, Field, ThriftList, encode_struct

__all__ = ["NativeLeaf", "native_leaf", "encode_chunk"]

# Parquet's codecs by their footer number, as pyarrow names them (those
# whose framing is the same in both).
CODECS = {0: None, 1: "snappy", 6: "zstd"}
PAGE_BYTES = 1 << 20  # pyarrow's data page size
MAX_PAGE = (1 << 31) - 1  # a page's sizes are int32 in its header
RLE, PLAIN, BYTE_STREAM_SPLIT = 3, 0, 9
FLOAT, INT32 = 4, 1
DATA_PAGE = 0

Struct = dict[int, Field]


class NativeLeaf(NamedTuple):
    """How to write one column natively."""

    split_floats: bool  # float32 in byte streams, else uint16 widened to int32
    levels: tuple[int, int, int]  # definition levels: no list, an empty list, a value
    path: list[bytes]  # the leaf's path in the schema
    codec: int  # footer number of the compression
    codec_name: str | None  # pyarrow's name of it


def native_leaf(field: Any, path: list[bytes], codec: int) -> NativeLeaf | None:
    """The native encoding of `field` (a pyarrow field) whose leaf has
    `path` in the schema and is compressed with `codec` (a footer number);
    None when pyarrow must write it."""
    pa = pyarrow("export_parquet()")
    outer = field.type
    if not pa.types.is_large_list(outer) or not pa.types.is_large_list(outer.value_type):
        return None
    leaf = outer.value_type.value_type
    if leaf not in (pa.float32(), pa.uint16()) or codec not in CODECS:
        return None
    no_lists = int(field.nullable)
    empty_list = no_lists + 1 + int(outer.value_field.nullable)
    value = empty_list + 1 + int(outer.value_type.value_field.nullable)
    return NativeLeaf(leaf == pa.float32(), (no_lists, empty_list, value), path, codec, CODECS[codec])


def without_nulls(chunk: Any) -> bool:
    """Whether a large_list<large_list<...>> array has no null at any level."""
    return bool(chunk.null_count == 0 and chunk.values.null_count == 0 and chunk.values.values.null_count == 0)


def page_bodies(chunk: Any, leaf: NativeLeaf) -> list[tuple[bytes, int, int]]:
    """The uncompressed pages (body, events, levels) of one array."""
    inner = chunk.values
    outer, lists, values = (np.asarray(a).data for a in (chunk.offsets, inner.offsets, inner.values))
    return _vintrel._parquet_pages(outer, lists, values, leaf.split_floats, leaf.levels, PAGE_BYTES)


def encode_chunk(column: Any, leaf: NativeLeaf) -> tuple[list[bytes], Struct] | None:
    """The pages (headers and compressed bodies) of a chunked column, and
    their ColumnMetaData with data_page_offset 0; None when a chunk has nulls."""
    pa = pyarrow("export_parquet()")
    if not all(without_nulls(chunk) for chunk in column.chunks):
        return None
    codec = pa.Codec(leaf.codec_name) if leaf.codec_name is not None else None
    encoding = BYTE_STREAM_SPLIT if leaf.split_floats else PLAIN
    out: list[bytes] = []
    levels = plain = compressed = pages = 0
    for chunk in column.chunks:
        if len(chunk) == 0:
            continue
        for body, _, count in page_bodies(chunk, leaf):
            packed = body if codec is None else codec.compress(body, asbytes=True)
            if len(packed) > MAX_PAGE:
                raise ValueError("an event has too many values for a page")
            header = encode_struct({
                1: Field(I32, DATA_PAGE), 2: Field(I32, len(body)), 3: Field(I32, len(packed)),
                5: Field(STRUCT, {1: Field(I32, count), 2: Field(I32, encoding),
                                  3: Field(I32, RLE), 4: Field(I32, RLE)}),
            })
            out += [header, packed]
            levels += count
            plain += len(header) + len(body)
            compressed += len(header) + len(packed)
            pages += 1
    meta: Struct = {
        1: Field(I32, FLOAT if leaf.split_floats else INT32),
        2: Field(LIST, ThriftList(I32, [RLE, encoding])),
        3: Field(LIST, ThriftList(BINARY, list[Any](leaf.path))),
        4: Field(I32, leaf.codec),
        5: Field(I64, levels), 6: Field(I64, plain), 7: Field(I64, compressed), 9: Field(I64, 0),
        13: Field(LIST, ThriftList(STRUCT, [{1: Field(I32, DATA_PAGE), 2: Field(I32, encoding),
                                             3: Field(I32, pages)}] if pages else [])),
    }
    return out, meta
