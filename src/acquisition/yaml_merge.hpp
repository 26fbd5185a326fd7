// The YAML merge key: `<<: *base` (or a sequence of such mappings) adds the
// pairs of other mappings in front of a mapping's own pairs.
#pragma once

#include <cstddef>
#include <expected>
#include <string>
#include <vector>

#include "acquisition/yaml_value.hpp"

namespace vintrel {

// The pairs that the merge-key values `sources` (in document order) put in
// front of a mapping's own pairs, as PyYAML's SafeLoader combines them under
// `rule`. Each source must be a mapping or a sequence of mappings. Fails when
// more than `budget` pairs would be copied.
std::expected<std::vector<YamlEntry>, std::string> merged_entries(const std::vector<YamlNode>& sources,
                                                                  MergeRule rule, std::size_t budget);

}  // namespace vintrel
