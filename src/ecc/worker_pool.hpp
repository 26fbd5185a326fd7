// The process-wide worker pool of the block check. Created on first use and
// sized by the CPUs the process may run on, or by RAYON_NUM_THREADS when that
// variable holds a positive number. A pool of size N is the calling thread
// plus N - 1 helper threads: the caller would otherwise only sleep, and a
// task it runs itself needs no handoff (so a pool of one runs everything on
// the caller, with no context switch). Helper threads are detached and the
// pool is never destroyed, so it never holds up process exit; a child created
// by fork() forgets its parent's pool and builds its own on first use.
#pragma once

#include <cstddef>

namespace vintrel::ecc {

class WorkerPool;

// Runs task(context, i) for every i in [0, count) on the caller and the
// pool's helper threads, and returns when all have finished. Tasks must not
// throw. If no helper thread could be started, the caller runs them all.
void run_on_pool(std::size_t count, void (*task)(void* context, std::size_t index), void* context);

// Size of a new pool (the caller included): RAYON_NUM_THREADS when it is a positive
// decimal number, otherwise the CPUs of the affinity mask; capped.
std::size_t configured_pool_size();

// While alive, holds back fork() in other threads: their prepare handler
// waits until no hold is left, and new holds wait while a fork is under way.
// A check takes one across all its work, so a child is never forked while a
// pool thread or the checking thread is inside the allocator; not every
// allocator guards its locks across fork() (the sanitizer runtimes' do not).
// Not reentrant: a thread must not take a second hold while it has one.
class ForkHold {
public:
    ForkHold();
    ~ForkHold();
    ForkHold(const ForkHold&) = delete;
    ForkHold& operator=(const ForkHold&) = delete;
};

// Typed convenience over run_on_pool.
template <class F>
void parallel_for(std::size_t count, F& task) {
    run_on_pool(
        count, [](void* context, std::size_t index) { (*static_cast<F*>(context))(index); }, &task);
}

}  // namespace vintrel::ecc
