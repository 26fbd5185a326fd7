#include "concurrency/interruption.hpp"

#include "concurrency/worker_pool.hpp"

namespace vintrel::concurrency {

bool Interruption::requested(bool now) {
    if (stopped()) return true;
    if (std::this_thread::get_id() != owner_) return false;
    const auto time = std::chrono::steady_clock::now();
    if (!now && time - last_check_ < kInterval) return false;
    last_check_ = time;
    // The check may wait for a thread that forks meanwhile: not under a hold.
    const ForkRelease unheld;
    if (check_(context_)) stopped_.store(true, std::memory_order_relaxed);
    return stopped();
}

}  // namespace vintrel::concurrency
