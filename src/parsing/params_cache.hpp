// Reading a parser's tuning constants from the free keys of Params. A key
// counts only when it holds a non-negative integer (tags are resolved when
// the YAML is loaded); anything else silently gives the default.
#pragma once

#include <cstdint>
#include <string_view>

#include "acquisition/metadata.hpp"

namespace vintrel::parsing {

// A 16-bit constant: the low 16 bits of the integer.
inline std::uint16_t key_u16(const Params& params, std::string_view key, std::uint16_t fallback) {
    const YamlValue* v = params.find(key);
    if (v == nullptr) return fallback;
    return v->as_u16().value_or(fallback);
}

// A count: the whole integer, if it fits 64 bits.
inline std::uint64_t key_u64(const Params& params, std::string_view key, std::uint64_t fallback) {
    const YamlValue* v = params.find(key);
    if (v == nullptr) return fallback;
    return v->as_u64().value_or(fallback);
}

}  // namespace vintrel::parsing
