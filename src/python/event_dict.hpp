// Parsed events as Python dictionaries with the keys "data",
// "window_labels", "time", "timing" and "ecc_errors", in that order.
#pragma once

#include "python/ref.hpp"

#include <cstdint>
#include <span>

#include "acquisition/metadata.hpp"

namespace vintrel::py {

// Selects the parser by the model table, parses and converts. A parsing
// failure raises acquisition.ParsingError; returns nullptr then.
PyObject* parse_to_dict(const Params& params, std::span<const std::uint8_t> raw_bytes);

}  // namespace vintrel::py
