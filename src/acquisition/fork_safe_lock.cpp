#include "acquisition/fork_safe_lock.hpp"

#include <pthread.h>
#include <sched.h>

namespace vintrel {
namespace {

// Process-wide, bumped in each forked child before it runs any other code.
std::atomic<std::uint64_t> GENERATION{0};

// Its count is zeroed by the coverage run's own fork handler, which can only
// be registered after this one.
void next_generation() { GENERATION.fetch_add(1, std::memory_order_relaxed); }  // GCOVR_EXCL_LINE

// Installed once, when the module is loaded.
const int FORK_HANDLER = pthread_atfork(nullptr, nullptr, next_generation);

}  // namespace

void ForkSafeLock::lock() noexcept {
    (void)FORK_HANDLER;
    const std::uint64_t mine = GENERATION.load(std::memory_order_relaxed) + 1;
    for (unsigned attempt = 0;; ++attempt) {
        std::uint64_t seen = holder_.load(std::memory_order_relaxed);
        // Free, or left held by a thread of a parent process.
        if (seen != mine && holder_.compare_exchange_weak(seen, mine, std::memory_order_acquire)) return;
        if (attempt >= 64) sched_yield();
    }
}

}  // namespace vintrel
