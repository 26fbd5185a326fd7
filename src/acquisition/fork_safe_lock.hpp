// A spin lock for very short critical sections that a forked child can
// always take. A lock held by a thread of the parent at fork() stays held in
// the child, where that thread does not exist; this lock records the process
// generation of its holder (bumped in every child by a pthread_atfork
// handler) and treats a lock left by an earlier generation as free.
//
// What it guards must therefore be consistent at every instant: callers only
// copy or replace a single pointer under it.
#pragma once

#include <atomic>
#include <cstdint>

namespace vintrel {

class ForkSafeLock {
public:
    void lock() noexcept;
    void unlock() noexcept { holder_.store(0, std::memory_order_release); }

private:
    std::atomic<std::uint64_t> holder_{0};  // 0: free; else the holder's generation + 1
};

}  // namespace vintrel
