#include "concurrency/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace vintrel::concurrency {
namespace {

// More threads than this buy nothing for 96 channel tasks or a few files at a
// time, and only risk exhausting the process's thread limit.
constexpr std::size_t kMaxThreads = 256;

// ---- fork holds ----

// Holds alive (a thread with nested holds counts once), and forks under way.
// Plain atomics rather than a mutex and a condition variable, so that nothing
// with waiters of the parent survives into the child; the rare waits poll.
// Sequentially consistent increments and loads: a hold and a fork that start
// together cannot both miss each other, so one of them waits.
std::atomic<std::size_t> holds{0};
std::atomic<std::size_t> forks{0};
thread_local std::size_t hold_depth = 0;

void pause_briefly() { std::this_thread::sleep_for(std::chrono::microseconds(50)); }

void take_hold() {
    for (;;) {
        holds.fetch_add(1);
        if (forks.load() == 0) return;
        holds.fetch_sub(1);
        while (forks.load() != 0) pause_briefly();
    }
}

// A new thread allocates before its start routine holds anything: the
// sanitizer's per-thread setup, and this library's thread-local block, which
// the C library allocates on the thread's first use of it (the library was
// loaded after the process started). A fork meanwhile would leave the child
// an allocator locked for ever. So whoever starts a helper takes a hold for
// it, and the helper, once it has touched its thread-locals, lets go of it.
class StartingHold {
public:
    StartingHold() { hold_depth = 1; }  // the first use of this thread's thread-local block
    ~StartingHold() {
        hold_depth = 0;
        holds.fetch_sub(1);
    }
    StartingHold(const StartingHold&) = delete;
    StartingHold& operator=(const StartingHold&) = delete;
};

// ---- the pool ----

// One call's tasks. Lives on the caller's stack: the caller returns only after
// the last task has signalled `finished` under `mutex`, after which no worker
// touches the batch again.
struct Batch {
    Batch(void (*task_)(void*, std::size_t), void* context_, std::size_t count_)
        : task(task_), context(context_), count(count_), remaining(count_) {}

    void (*task)(void*, std::size_t);
    void* context;
    std::size_t count;
    std::size_t next = 0;  // next unclaimed index; guarded by the pool's mutex
    std::atomic<std::size_t> remaining;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

}  // namespace

class WorkerPool {
public:
    // Starts up to `threads` helpers; fewer if the system refuses.
    explicit WorkerPool(std::size_t threads) : wanted_(threads) { start_helpers(); }

    // The caller is one of the pool's workers for its own batch: it takes
    // tasks as the helper threads do, starting at once with its cache warm,
    // then sleeps until the helpers' last tasks are done.
    void run(Batch& batch) {
        const ForkHold hold;  // the queue and new helpers allocate
        {
            std::lock_guard lock(mutex_);
            ++running_;
            queue_.push_back(&batch);
        }
        restart_helpers();
        wake_.notify_all();
        for (;;) {
            fork_checkpoint();
            std::size_t index;
            {
                std::lock_guard lock(mutex_);
                if (batch.next == batch.count) break;
                index = claim(batch);
            }
            execute(batch, index);
        }
        {
            const ForkRelease sleeping;
            std::unique_lock lock(batch.mutex);
            batch.done.wait(lock, [&] { return batch.finished; });
        }
        std::lock_guard lock(mutex_);
        --running_;
    }

    // Ends the helper threads when no call is under way, so that a process
    // about to fork has none of them (Python 3.12+ warns about forking a
    // multi-threaded process). The next call starts them again.
    void retire_helpers_if_idle() {
        std::lock_guard starting(start_mutex_);
        {
            std::lock_guard lock(mutex_);
            if (running_ != 0 || helpers_.empty()) return;
            stopping_ = true;
        }
        wake_.notify_all();
        for (std::thread& helper : helpers_) helper.join();
        helpers_.clear();
        wait_until_reaped();
        std::lock_guard lock(mutex_);
        stopping_ = false;
        retired_ = true;
    }

private:
    // Takes the next index of `batch`; a batch leaves the queue with its last
    // unclaimed index, so the queue never points to a batch whose caller may
    // have returned. Needs mutex_.
    std::size_t claim(Batch& batch) {
        const std::size_t index = batch.next++;
        if (batch.next == batch.count) queue_.erase(std::find(queue_.begin(), queue_.end(), &batch));
        return index;
    }

    static void execute(Batch& batch, std::size_t index) {
        batch.task(batch.context, index);
        if (batch.remaining.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            // Notify while holding the lock: the caller cannot return, and
            // free the batch, before this thread lets go of it.
            std::lock_guard lock(batch.mutex);
            batch.finished = true;
            batch.done.notify_all();
        }
    }

    void start_helpers() {
        {
            // Room for every helper's id, so that a starting helper does not
            // allocate outside a hold.
            std::lock_guard lock(mutex_);
            helper_tids_.reserve(wanted_);
        }
        // Helpers block every signal so that signals keep reaching the
        // interpreter's main thread.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        for (std::size_t i = 0; i < wanted_; ++i) {
            holds.fetch_add(1);  // the helper's own until it first sleeps (see StartingHold)
            try {
                helpers_.emplace_back([this] { work(); });
            } catch (const std::system_error&) {
                holds.fetch_sub(1);
                break;
            }
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    // Called under a hold: while helpers are being retired, waits without
    // holding back a fork (the retiring thread may be about to fork).
    void restart_helpers() {
        while (!start_mutex_.try_lock()) {
            fork_checkpoint();
            pause_briefly();
        }
        const std::lock_guard starting(start_mutex_, std::adopt_lock);
        if (std::exchange(retired_, false)) start_helpers();
    }

    // A joined thread is gone from the process's thread count only when the
    // kernel reaps it, shortly after it wakes its joiner; a fork in between
    // would still count it. Waits for that, briefly and boundedly.
    void wait_until_reaped() {
        const auto alive = [](pid_t tid) { return syscall(SYS_tgkill, getpid(), tid, 0) == 0; };
        for (int tries = 0; tries < 1000 && std::ranges::any_of(helper_tids_, alive); ++tries) pause_briefly();
        helper_tids_.clear();
    }

    // A helper holds fork back from claiming a task to finishing it, never
    // while it sleeps; the hold is taken before the mutex, never under it.
    void work() {
        {
            const StartingHold starting;
            std::lock_guard lock(mutex_);
            helper_tids_.push_back(static_cast<pid_t>(syscall(SYS_gettid)));
        }
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
            }
            const ForkHold hold;
            Batch* batch;
            std::size_t index;
            {
                std::lock_guard lock(mutex_);
                if (queue_.empty()) continue;  // taken by others meanwhile
                batch = queue_.front();
                index = claim(*batch);
            }
            execute(*batch, index);
        }
    }

    const std::size_t wanted_;
    std::mutex start_mutex_;  // guards helpers_ and retired_
    std::vector<std::thread> helpers_;
    bool retired_ = false;

    std::mutex mutex_;  // guards the rest
    std::condition_variable wake_;
    std::deque<Batch*> queue_;
    std::size_t running_ = 0;  // calls under way
    bool stopping_ = false;
    std::vector<pid_t> helper_tids_;
};

namespace {

// The process's pool, created on first use and never destroyed. A forked
// child inherits the pointer but none of the threads, so the child handler
// forgets it (leaking the parent's copy) and the child makes a new one.
std::atomic<WorkerPool*> POOL{nullptr};
std::mutex pool_creation;

// Waits for the holds of other threads to end, then holds pool_creation
// across fork() so that the child never inherits it locked by a thread that
// does not exist there. pool_creation comes second: a holder may be waiting
// for it. The forking thread's own hold, if any, is not waited for.
void before_fork() {
    forks.fetch_add(1);
    const std::size_t own = hold_depth > 0 ? 1 : 0;
    while (holds.load() != own) pause_briefly();
    pool_creation.lock();
}
void after_fork_parent() {
    pool_creation.unlock();
    forks.fetch_sub(1);
}
void after_fork_child() {
    POOL.store(nullptr, std::memory_order_relaxed);
    holds.store(hold_depth > 0 ? 1 : 0);
    forks.store(0);
    pool_creation.unlock();
}

std::size_t affinity_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

WorkerPool& pool() {
    if (WorkerPool* existing = POOL.load(std::memory_order_acquire)) return *existing;
    install_fork_handlers();
    std::lock_guard lock(pool_creation);
    if (WorkerPool* existing = POOL.load(std::memory_order_acquire)) return *existing;
    // Deliberately leaked: a destructor would have to join threads at exit.
    WorkerPool* created = std::make_unique<WorkerPool>(configured_pool_size() - 1).release();
    POOL.store(created, std::memory_order_release);
    return *created;
}

}  // namespace

// Installed once, before the first hold or pool exists; handlers survive
// into children.
void install_fork_handlers() {
    static const bool installed = pthread_atfork(before_fork, after_fork_parent, after_fork_child) == 0;
    static_cast<void>(installed);
}

std::size_t configured_pool_size() {
    if (const char* text = std::getenv("RAYON_NUM_THREADS")) {
        const std::string_view s(text);
        std::size_t n = 0;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
        if (ec == std::errc{} && end == s.data() + s.size() && n > 0) return std::min(n, kMaxThreads);
        if (ec == std::errc::result_out_of_range) return kMaxThreads;
    }
    return std::min(affinity_cpus(), kMaxThreads);
}

ForkHold::ForkHold() {
    install_fork_handlers();
    if (hold_depth++ == 0) take_hold();
}

ForkHold::~ForkHold() {
    if (--hold_depth == 0) holds.fetch_sub(1);
}

ForkRelease::ForkRelease() : saved_depth_(std::exchange(hold_depth, 0)) {
    if (saved_depth_ > 0) holds.fetch_sub(1);
}

ForkRelease::~ForkRelease() {
    if (saved_depth_ > 0) take_hold();
    hold_depth = saved_depth_;
}

void fork_checkpoint() {
    if (hold_depth == 0 || forks.load() == 0) return;
    holds.fetch_sub(1);
    take_hold();
}

void retire_idle_helpers() {
    if (WorkerPool* existing = POOL.load(std::memory_order_acquire)) existing->retire_helpers_if_idle();
}

void run_on_pool(std::size_t count, void (*task)(void*, std::size_t), void* context) {
    if (count == 0) return;
    Batch batch(task, context, count);
    pool().run(batch);
}

}  // namespace vintrel::concurrency
