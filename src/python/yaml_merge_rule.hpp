// Which rule the yaml.safe_load in use follows for merge keys, so the native
// metadata reader combines them the same way as the Python view.
#pragma once

#include <optional>

#include "acquisition/yaml_value.hpp"

namespace vintrel::py {

// Found once per process by loading a small document; none (with the Python
// error set) when that fails, and tried again on the next call.
std::optional<MergeRule> yaml_merge_rule();

}  // namespace vintrel::py
