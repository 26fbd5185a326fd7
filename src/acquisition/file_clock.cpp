#include "acquisition/file_clock.hpp"

#include <time.h>

#include <algorithm>

namespace vintrel {
namespace {

constexpr std::int64_t kSecond = 1'000'000'000;

// The coarsest granularity that `time_ns` is consistent with: the largest
// power of ten up to a second that divides its sub-second part. Whole seconds
// may come from a file system that counts in two-second steps.
std::int64_t granularity(std::int64_t time_ns) {
    std::int64_t fraction = time_ns % kSecond;
    if (fraction == 0) return 2 * kSecond;
    std::int64_t step = 1;
    while (fraction % (step * 10) == 0) step *= 10;
    return step;
}

}  // namespace

std::int64_t file_clock_ns() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kSecond + now.tv_nsec;
}

bool settled(const FileStatus& status, std::int64_t read_after_ns) {
    const std::int64_t latest = std::max(status.modified_ns, status.changed_ns);
    const std::int64_t step = std::max(granularity(status.modified_ns), granularity(status.changed_ns));
    return latest <= read_after_ns - step;
}

}  // namespace vintrel
