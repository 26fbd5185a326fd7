// Data pages (version 1) of a Parquet column of lists of lists of numbers,
// as the Parquet export writes `data`, `time` and `window_labels`: the
// repetition and definition levels, then the values, uncompressed. The
// caller compresses each page body and writes its header.
//
// A page holds whole events. Levels are run-length encoded (the RLE /
// bit-packing hybrid, runs only, each preceded by its 4-byte length): a row
// of c lists of n values is, per list, one level of repetition 0 (first
// list) or 1 (the others) then n - 1 levels of 2; its definition levels are
// all the value's. An empty list takes one level with the empty list's
// definition level, an event without lists one with that of no list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string_view>
#include <vector>

namespace vintrel::parquet {

// A column laid out as Arrow lays out large_list<large_list<T>> without
// nulls: event e's lists are outer[e] .. outer[e + 1], list l's values
// inner[l] .. inner[l + 1] of `values` (in the machine's byte order).
struct NestedLists {
    std::span<const std::int64_t> outer;
    std::span<const std::int64_t> inner;
    std::span<const std::byte> values;
};

// How values are written: float32 as four byte streams (BYTE_STREAM_SPLIT),
// or uint16 widened to little-endian int32 (PLAIN, as INT32 with a UINT_16
// annotation).
enum class ValueEncoding { SplitFloat32, WidenedUint16 };

// Definition levels of an event without lists, an empty list and a value
// (they follow from which fields of the schema may be null); the largest
// must fit the one byte a run's value takes.
struct DefinitionLevels {
    std::uint8_t no_lists;
    std::uint8_t empty_list;
    std::uint8_t value;
};

struct PageBody {
    std::vector<std::byte> bytes;  // repetition levels, definition levels, values
    std::int64_t events = 0;       // rows in the page
    std::int64_t levels = 0;       // the page header's num_values
};

// The pages of every event of `column`, each closed once its values take
// `page_bytes` or more (a page holds at least one event). Offsets that are
// not monotonic or lie outside their arrays, and a page of more than 2^31 - 1
// bytes or levels, are refused with the reason.
std::expected<std::vector<PageBody>, std::string_view> encode_pages(const NestedLists& column, ValueEncoding encoding,
                                                                    DefinitionLevels levels, std::size_t page_bytes);

}  // namespace vintrel::parquet
