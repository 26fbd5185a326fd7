// When remembered file times can be trusted to reveal later changes.
//
// The kernel stamps a change with its coarse real-time clock, truncated to the
// file system's granularity, so a second change in the same tick as the first
// leaves the times as they were (the problem git calls "racy" entries). A
// status is settled when its times are at least one granularity step older
// than a clock reading taken before the status was read: every change after
// that reading gets strictly newer times, so comparing times finds it.
#pragma once

#include <cstdint>

#include "acquisition/file.hpp"

namespace vintrel {

// The clock file times are taken from (CLOCK_REALTIME_COARSE), in nanoseconds.
std::int64_t file_clock_ns();

// Whether `status`, read after the clock showed `read_after_ns`, is settled.
bool settled(const FileStatus& status, std::int64_t read_after_ns);

}  // namespace vintrel
