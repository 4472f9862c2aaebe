#pragma once
// The one process-wide pool of worker threads (oneTBB) that runs every
// parallel map: over frequencies in long impedance evaluations and over
// parameters in finite-difference Jacobians.
//
// Its size is read once, on first use: RAYON_NUM_THREADS, else its older
// alias RAYON_RS_NUM_CPUS, else the number of processors. The names are
// kept because scripts that tune the pool already set them.

#include <cstddef>
#include <optional>

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace kelvara {

// Size from the two variables' texts (either may be absent): a positive
// integer in RAYON_NUM_THREADS wins, "0" there means the processor count,
// then a positive RAYON_RS_NUM_CPUS, then the processor count.
std::size_t pool_size_from(const char* num_threads, const char* rs_num_cpus, std::size_t processors);

tbb::task_arena& worker_pool();
std::size_t worker_pool_size();

// f(i) for every i in [0, n) on the pool; returns when all are done.
template <class F>
void parallel_for_each_index(std::size_t n, F&& f) {
  worker_pool().execute([&] {
    tbb::parallel_for(std::size_t{0}, n, [&](std::size_t i) { f(i); });
  });
}

}  // namespace kelvara
