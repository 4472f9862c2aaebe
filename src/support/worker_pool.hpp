#pragma once
// The one process-wide pool of worker threads (oneTBB) that runs every
// parallel map: over frequencies in long impedance evaluations and over
// parameters in finite-difference Jacobians.
//
// The pool is a cap on oneTBB's workers (one global_control), not an arena
// that callers enter: every calling thread maps in its own implicit arena,
// and the workers, at most size - 1 of them, help whichever maps are open.
// A shared arena has one slot per thread of the pool, so fits from several
// Python threads queued for its slots (with the pool at one thread, each
// waited for the one slot) instead of running side by side.
//
// Its size is read once, on first use: RAYON_NUM_THREADS, else its older
// alias RAYON_RS_NUM_CPUS, else the number of processors. The names are
// kept because scripts that tune the pool already set them.
//
// fork(): a child does not inherit the parent's worker threads, and oneTBB's
// state may hold locks those threads owned when the parent forked. A child
// forked after the pool started therefore never touches it: its maps run on
// threads of its own, as many as the parent's pool had.

#include <tbb/parallel_for.h>

#include <cstddef>
#include <optional>
#include <type_traits>

namespace kelvara {

// No pool is bigger than this, whatever the variables say: oneTBB's own
// ceiling on workers, max(256, 4 x processors). Larger counts only made
// every parallel call fail to allocate the arena.
std::size_t max_pool_size(std::size_t processors);

// Size from the two variables' texts (either may be absent): a positive
// integer in RAYON_NUM_THREADS wins, "0" there means the processor count,
// then a positive RAYON_RS_NUM_CPUS, then the processor count; at most
// max_pool_size(processors).
std::size_t pool_size_from(const char* num_threads, const char* rs_num_cpus,
                           std::size_t processors);

// Starts the pool (reads its size) if it has not started.
void start_worker_pool();
std::size_t worker_pool_size();

// True in a child forked after the pool started: the pool is not usable.
bool pool_lost_to_fork();
// f(i) for every i in [0, n) on fresh threads of this process (the child's
// stand-in for the pool); the first exception a task throws is rethrown.
void for_each_index_on_own_threads(std::size_t n, void (*call)(void*, std::size_t), void* f);

// f(i) for every i in [0, n) on the pool; returns when all are done.
template <class F>
void parallel_for_each_index(std::size_t n, F&& f) {
  if (pool_lost_to_fork()) {
    using Fn = std::remove_reference_t<F>;
    for_each_index_on_own_threads(
        n, [](void* g, std::size_t i) { (*static_cast<Fn*>(g))(i); },
        const_cast<void*>(static_cast<const void*>(&f)));
    return;
  }
  start_worker_pool();
  if (n == 1) {
    f(std::size_t{0});  // nothing to share: spare the scheduler its round trip
    return;
  }
  tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) { f(i); });
}

}  // namespace kelvara
