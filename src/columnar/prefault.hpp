// Faults in, on a second thread, the pages that a writer is about to fill.
//
// Writing a large new buffer costs the writer a page fault per page, in which
// the system clears the page: for the columns of many events that clearing
// is the largest single cost of filling them. A Prefaulter asks the system,
// on its own thread, to back each range a little ahead of what the writer
// has written (madvise MADV_POPULATE_WRITE, which never changes a byte that
// is there), so that the clearing overlaps the writer's work. It stays at
// most kAhead bytes ahead of the writer in each range, so the memory it
// backs is never much more than the writer uses.
//
// The ranges must stay mapped where they are (no mremap, no munmap) until
// the Prefaulter is stopped: stop() or its destructor. Without a second
// thread or MADV_POPULATE_WRITE (Linux 5.14), it does nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace vintrel::columnar {

class Prefaulter {
public:
    static constexpr std::size_t kAhead = std::size_t{16} << 20;

    struct Range {
        std::byte* begin;
        std::size_t size;
        const std::atomic<std::size_t>* written;  // bytes the writer has filled, from begin
    };

    explicit Prefaulter(std::vector<Range> ranges);
    ~Prefaulter() { stop(); }
    Prefaulter(const Prefaulter&) = delete;
    Prefaulter& operator=(const Prefaulter&) = delete;

    // Returns once the thread has stopped touching the ranges.
    void stop();

private:
    void run();

    std::vector<Range> ranges_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace vintrel::columnar
