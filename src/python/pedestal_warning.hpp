// The RuntimeWarning for a pedestal file that exists but was not used.
#pragma once

#include "calibration/pedestal_file.hpp"
#include "python/ref.hpp"

namespace vintrel::py {

// Warns "pedestal file '<path>' was not used, <consequence>: <reason>" (the
// path decoded as os.fsdecode does); false if the warning was raised as an
// error or could not be made.
bool warn_pedestals_refused(const calibration::PedestalRefusal& refused, const char* consequence);

}  // namespace vintrel::py
