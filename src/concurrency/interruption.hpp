// A request to stop long work early, from whoever started it (the binding
// asks the interpreter whether a signal handler raised). The work polls it
// between steps on every thread; only the thread that created it runs the
// check itself, and at most once per interval, so the check may be costly
// (take a lock, say) and need not be thread-safe.
//
//     Interruption stop(check, context);
//     run_on_pool(... if (stop.requested()) leave the task early ...);
//     if (stop.stopped()) report that the work was cut short;
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

namespace vintrel::concurrency {

class Interruption {
public:
    // True when the work is to stop. Called on the creating thread only, at
    // a point where it owns no lock and holds no fork hold of its own.
    using Check = bool (*)(void* context);

    Interruption(Check check, void* context) : check_(check), context_(context), owner_(std::this_thread::get_id()) {}
    Interruption(const Interruption&) = delete;
    Interruption& operator=(const Interruption&) = delete;

    // Whether to stop: true once the check said so. On the creating thread,
    // runs the check when the interval has passed since its last run (at
    // once with `now`), outside the caller's fork hold. Call it only where
    // fork_checkpoint() may be called.
    bool requested(bool now = false);
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

private:
    static constexpr std::chrono::milliseconds kInterval{20};

    Check check_;
    void* context_;
    std::thread::id owner_;
    std::chrono::steady_clock::time_point last_check_{};  // the creating thread's
    std::atomic<bool> stopped_{false};
};

// requested() of an optional interruption: false without one.
inline bool interrupted(Interruption* interruption, bool now = false) {
    return interruption != nullptr && interruption->requested(now);
}

}  // namespace vintrel::concurrency
