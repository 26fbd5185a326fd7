// The pedestal table of an acquisition for a correction asked for by the
// caller: an absent side file means no correction; a file that exists but
// cannot be read or decoded also means none, with the reason kept so that
// the caller can tell the user.
#pragma once

#include <optional>
#include <string>

#include "acquisition/acquisition.hpp"
#include "calibration/pedestals.hpp"

namespace vintrel::calibration {

struct PedestalRefusal {
    std::string path;
    std::string reason;
};

struct PedestalFile {
    std::optional<Pedestals> table;
    std::optional<PedestalRefusal> refused;  // set only for a file that exists
};

PedestalFile load_pedestal_file(const Acquisition& acquisition);

}  // namespace vintrel::calibration
