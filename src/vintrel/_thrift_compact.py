"""The Thrift compact protocol, as far as a Parquet footer uses it.

A struct decodes to a dict {field id: Field}, a list to a ThriftList, so
that a footer can be changed in a few fields and encoded again with every
other field as it was. Maps and sets do not occur in Parquet metadata and
are refused."""

from __future__ import annotations

import struct
from typing import NamedTuple, Union

__all__ = ["BINARY", "I16", "I32", "I64", "LIST", "STRUCT", "TRUE", "Field", "ThriftList", "Value",
           "decode_struct", "encode_struct"]

# Type codes of the compact protocol (booleans carry their value in the code).
TRUE, FALSE, BYTE, I16, I32, I64, DOUBLE, BINARY, LIST, SET, MAP, STRUCT = range(1, 13)
INTEGERS = (BYTE, I16, I32, I64)
# Deeper nesting than any footer has is refused rather than followed.
MAX_DEPTH = 64


class ThriftList(NamedTuple):
    """A list value: the type code of its elements, and the elements."""

    kind: int  # the type code of every element
    items: list[Value]


class Field(NamedTuple):
    """A struct field: its type code, and its value."""

    kind: int
    value: Value


Value = Union[bool, int, float, bytes, ThriftList, dict[int, Field]]


class Reader:
    """Decodes values from bytes, front to back."""

    def __init__(self, data: bytes) -> None:
        self.data = memoryview(data).cast("B")  # whatever the item format of the buffer given
        self.at = 0

    def byte(self) -> int:
        """The next byte."""
        if self.at >= len(self.data):
            raise ValueError("Thrift data ends early")
        self.at += 1
        return int(self.data[self.at - 1])

    def varint(self) -> int:
        """An unsigned LEB128 integer of at most 64 bits."""
        value = shift = 0
        while True:
            b = self.byte()
            value |= (b & 0x7F) << shift
            if b < 0x80:
                return value
            shift += 7
            if shift > 63:
                raise ValueError("Thrift varint is too long")

    def zigzag(self) -> int:
        """A signed integer, zigzag-encoded as a varint."""
        n = self.varint()
        return (n >> 1) ^ -(n & 1)

    def take(self, size: int) -> bytes:
        """The next `size` bytes."""
        if size > len(self.data) - self.at:
            raise ValueError("Thrift data ends early")
        self.at += size
        return bytes(self.data[self.at - size:self.at])

    def value(self, kind: int, depth: int) -> Value:
        """A value of type `kind`, `depth` containers deep."""
        if kind in (TRUE, FALSE):
            return kind == TRUE
        if kind == BYTE:
            raw = self.byte()
            return raw - 256 if raw > 127 else raw
        if kind in INTEGERS:
            return self.zigzag()
        if kind == DOUBLE:
            return float(struct.unpack("<d", self.take(8))[0])
        if kind == BINARY:
            return self.take(self.varint())
        if depth >= MAX_DEPTH:
            raise ValueError("Thrift data is nested too deeply")
        if kind == LIST:
            return self.list(depth + 1)
        if kind == STRUCT:
            return self.struct(depth + 1)
        raise ValueError(f"Thrift type {kind} is not supported")

    def list(self, depth: int) -> ThriftList:
        """A list: a header of size and element type, then the elements."""
        header = self.byte()
        size, kind = header >> 4, header & 0x0F
        if size == 15:
            size = self.varint()
        if size > len(self.data) - self.at:  # every element takes a byte at least
            raise ValueError("Thrift list is longer than its data")
        if kind == FALSE:  # list elements say true (1) or false (2) in a byte of their own
            kind = TRUE
        if kind == TRUE:
            return ThriftList(TRUE, [self.byte() == TRUE for _ in range(size)])
        return ThriftList(kind, [self.value(kind, depth) for _ in range(size)])

    def struct(self, depth: int) -> dict[int, Field]:
        """Fields up to the stop byte; a field header holds the id's delta and the type."""
        fields: dict[int, Field] = {}
        last = 0
        while True:
            header = self.byte()
            if header == 0:
                return fields
            delta, kind = header >> 4, header & 0x0F
            last = last + delta if delta else self.zigzag()
            fields[last] = Field(TRUE if kind in (TRUE, FALSE) else kind, self.value(kind, depth))


def decode_struct(data: bytes) -> tuple[dict[int, Field], int]:
    """The struct at the start of `data`, and the bytes it took."""
    reader = Reader(data)
    return reader.struct(0), reader.at


class Writer:
    """Encodes values to bytes."""

    def __init__(self) -> None:
        self.out = bytearray()

    def varint(self, n: int) -> None:
        """`n` as an unsigned LEB128 integer."""
        while n >= 0x80:
            self.out.append((n & 0x7F) | 0x80)
            n >>= 7
        self.out.append(n)

    def zigzag(self, n: int) -> None:
        """A signed integer of at most 64 bits, zigzag-encoded."""
        self.varint((n << 1) ^ (n >> 63) if n < 0 else n << 1)

    def value(self, kind: int, value: Value) -> None:
        """`value` as type `kind` (booleans are written in their field header or list)."""
        if kind == BYTE:
            assert isinstance(value, int)
            self.out.append(value & 0xFF)
        elif kind in INTEGERS:
            assert isinstance(value, int)
            self.zigzag(value)
        elif kind == DOUBLE:
            assert isinstance(value, float)
            self.out += struct.pack("<d", value)
        elif kind == BINARY:
            assert isinstance(value, bytes)
            self.varint(len(value))
            self.out += value
        elif kind == LIST:
            assert isinstance(value, ThriftList)
            self.list(value)
        elif kind == STRUCT:
            assert isinstance(value, dict)
            self.struct(value)
        else:
            raise ValueError(f"Thrift type {kind} is not supported")

    def list(self, value: ThriftList) -> None:
        """A list: its header, then its elements."""
        size = len(value.items)
        self.out.append((min(size, 15) << 4) | value.kind)
        if size >= 15:
            self.varint(size)
        for item in value.items:
            if value.kind == TRUE:
                self.out.append(TRUE if item else FALSE)
            else:
                self.value(value.kind, item)

    def struct(self, fields: dict[int, Field]) -> None:
        """The fields in ascending id order, then the stop byte."""
        last = 0
        for number in sorted(fields):
            kind, value = fields[number]
            code = (TRUE if value else FALSE) if kind == TRUE else kind
            if 0 < number - last <= 15:
                self.out.append(((number - last) << 4) | code)
            else:
                self.out.append(code)
                self.zigzag(number)
            if kind != TRUE:
                self.value(kind, value)
            last = number
        self.out.append(0)


def encode_struct(fields: dict[int, Field]) -> bytes:
    """`fields` as a compact-protocol struct."""
    writer = Writer()
    writer.struct(fields)
    return bytes(writer.out)
