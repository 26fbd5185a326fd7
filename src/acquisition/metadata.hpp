// The records read from metadata.yml: Params (the board description every
// parser uses) and Metadata (Params plus the register map).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "acquisition/yaml_value.hpp"
#include "error/errors.hpp"

namespace vintrel {

struct Params {
    std::string model;
    std::uint64_t channels = 0;
    std::uint64_t windows = 0;
    std::uint64_t samples = 0;
    YamlValue extra = YamlValue::mapping();  // free keys, in document order (merged ones first)

    const YamlValue* find(std::string_view key) const { return extra.find(key); }
};

struct Metadata {
    Params params;
    YamlValue registers = YamlValue::mapping();
};

// Parses the text of metadata.yml, combining merge keys by `rule`. Any
// syntax or shape failure is MetadataError::Serialization carrying the reason.
std::expected<Metadata, MetadataError> parse_metadata(std::string_view text, MergeRule rule = kDefaultMergeRule);

}  // namespace vintrel
