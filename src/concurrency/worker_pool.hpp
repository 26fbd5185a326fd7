// The process-wide worker pool, shared by the block check and the CSV export.
// Created on first use and sized by the CPUs the process may run on, or by
// RAYON_NUM_THREADS when that variable holds a positive number. A pool of
// size N is the calling thread plus N - 1 helper threads: the caller would
// otherwise only sleep, and a task it runs itself needs no handoff (so a pool
// of one runs everything on the caller, with no context switch). Helper
// threads are never joined at exit and the pool is never destroyed, so it never
// holds up process exit; a child created by fork() forgets its parent's pool and
// builds its own on first use.
//
// Fork safety. Not every allocator guards its locks across fork() (the
// sanitizer runtimes' do not): a child forked while another thread was inside
// malloc can hang on its first allocation. Work done without the interpreter
// lock therefore runs under a ForkHold, which holds back fork() in other
// threads. Holds are short: a helper holds only while it runs a task, and
// long work lets a pending fork go ahead at fork_checkpoint() between steps,
// so a fork waits at most for one step of each busy thread.
#pragma once

#include <cstddef>

namespace vintrel::concurrency {

// Runs task(context, i) for every i in [0, count) on the caller and the
// pool's helper threads, and returns when all have finished. Indices are
// handed out in increasing order, so every task of a lower index has started
// when a task starts. A call runs at most pool-size tasks at a time. Tasks
// must not throw. If no helper thread could be started, the caller runs them
// all.
void run_on_pool(std::size_t count, void (*task)(void* context, std::size_t index), void* context);

// Ends the pool's helper threads if no call is using the pool; the next call
// starts them again. Called before fork() so that an idle pool leaves the
// process single-threaded (Python 3.12+ warns about forking with threads).
void retire_idle_helpers();

// Installs the process's fork handlers (once; later calls do nothing). The
// first hold or pool installs them too, but a fork in one thread while
// another is installing them leaves the child waiting on the one-time
// initialisation for ever: a program that may fork from several threads
// calls this first, while it has one thread.
void install_fork_handlers();

// Size of a new pool (the caller included): RAYON_NUM_THREADS when it is a positive
// decimal number, otherwise the CPUs of the affinity mask; capped.
std::size_t configured_pool_size();

// While alive, holds back fork() in other threads: their prepare handler
// waits until no hold is left, and new holds wait while a fork is under way.
// Reentrant: a thread's nested holds count as one. A thread must not wait for
// another thread's progress while it holds (use ForkRelease around the wait),
// and must not take a hold while it owns a lock that a holder may need.
class ForkHold {
public:
    ForkHold();
    ~ForkHold();
    ForkHold(const ForkHold&) = delete;
    ForkHold& operator=(const ForkHold&) = delete;
};

// Gives up the calling thread's hold for its lifetime (around a wait for
// other threads), and takes it back, possibly after a pending fork, when it
// ends. Destroy it only after releasing every lock taken during the wait.
class ForkRelease {
public:
    ForkRelease();
    ~ForkRelease();
    ForkRelease(const ForkRelease&) = delete;
    ForkRelease& operator=(const ForkRelease&) = delete;

private:
    std::size_t saved_depth_;
};

// Lets a pending fork() go ahead if the calling thread holds: called between
// two steps of long work, where the thread is inside no allocator call and
// owns no lock. Cheap when no fork is pending.
void fork_checkpoint();

// Typed convenience over run_on_pool.
template <class F>
void parallel_for(std::size_t count, F& task) {
    run_on_pool(
        count, [](void* context, std::size_t index) { (*static_cast<F*>(context))(index); }, &task);
}

}  // namespace vintrel::concurrency
