// A restricted reader of Python pickles (protocols 0 to 5) for the shapes a
// pedestal file holds: dicts, lists and tuples of text, numbers and None.
// It only builds plain values; it never resolves globals or calls anything,
// and any opcode outside its subset is refused.
//
// Containers live in an arena owned by the document and refer to each other
// by index, so memo references (the same list pickled twice, or a list that
// holds itself) share a node without ownership cycles.
#pragma once

#include <cstdint>
#include <expected>
#include <vector>

#include "calibration/gzip_reader.hpp"

namespace vintrel::calibration {

struct PickleValue {
    enum class Kind : std::uint8_t { None, Bool, Int, BigInt, Float, Text, List, Tuple, Dict };

    Kind kind = Kind::None;
    bool is_data_key = false;  // Text: the text is exactly "data"
    std::int64_t integer = 0;  // Int (Bool: 0 or 1)
    double real = 0.0;         // Float
    std::uint32_t node = 0;    // List, Tuple, Dict: index into the arena

    bool is_sequence() const { return kind == Kind::List || kind == Kind::Tuple; }
};

struct PickleDocument {
    // List and tuple nodes hold their items; dict nodes hold key, value,
    // key, value, ... in insertion order.
    std::vector<std::vector<PickleValue>> nodes;
    PickleValue root;
};

// Limits that keep a hostile file from exhausting memory. Values include
// stack entries, memo entries, container items and containers.
constexpr std::uint64_t kMaxPickleValues = std::uint64_t{1} << 25;
constexpr std::size_t kMaxPickleLine = std::size_t{1} << 20;

// Reads one pickle from the decompressed stream, up to and including its
// STOP opcode; whatever follows is left in `source`.
std::expected<PickleDocument, LoadError> read_pickle(GzipReader& source);

}  // namespace vintrel::calibration
