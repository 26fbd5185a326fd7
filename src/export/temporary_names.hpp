// Names of the temporary files an export writes before renaming them into
// place, and the removal of those a killed export left behind.
//
// A temporary name is ".<final name>.<host>.<pid>.<n>.tmp": the final name
// cut to 200 bytes, a tag of the machine and process namespace the writer ran
// in (16 hex digits), the writer's pid and a number unique in that process.
// A later export into the directory removes the temporaries of its own
// acquisition whose writer ran here and is gone: same tag, no process of that
// pid. Nothing else is touched: not another host's files (a pid says nothing
// there), not a live process's, not names that merely look alike, and only
// regular files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vintrel::csv {

// The temporary name for `final_name` with the number `n`.
std::string temporary_name(std::string_view final_name, std::uint64_t n);

// Removes from `dir` the temporary files of final names
// "<acquisition_name> (chunk <k>).csv" left by processes of this host that
// no longer run. Best effort: failures are ignored.
void remove_stale_temporaries(const std::string& dir, std::string_view acquisition_name);

}  // namespace vintrel::csv
