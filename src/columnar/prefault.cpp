#include "columnar/prefault.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <utility>

namespace vintrel::columnar {
namespace {

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Backed in steps of one huge page.
constexpr std::size_t kStep = std::size_t{2} << 20;

}  // namespace

Prefaulter::Prefaulter(std::vector<Range> ranges) : ranges_(std::move(ranges)) {
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        // No thread to be had: the writer faults its pages itself.
    }
}

void Prefaulter::stop() {
    stopping_.store(true, std::memory_order_relaxed);
    if (thread_.joinable()) thread_.join();
}

void Prefaulter::run() {
    std::vector<std::size_t> backed(ranges_.size(), 0);
    while (!stopping_.load(std::memory_order_relaxed)) {
        bool progressed = false, pending = false;
        for (std::size_t r = 0; r < ranges_.size(); ++r) {
            const Range& range = ranges_[r];
            const std::size_t written = range.written->load(std::memory_order_relaxed);
            const std::size_t target = std::min(range.size, written + kAhead);
            if (backed[r] < range.size) pending = true;
            if (backed[r] >= target) continue;
            const std::size_t step = std::min(kStep, range.size - backed[r]);
            // A refusal (an old kernel, no memory left) ends the help; the
            // writer then faults in what it writes, and reports what fails.
            if (madvise(range.begin + backed[r], step, MADV_POPULATE_WRITE) != 0) return;
            backed[r] += step;
            progressed = true;
        }
        if (!pending) return;
        if (!progressed) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
}

}  // namespace vintrel::columnar
