#include "support/worker_pool.hpp"

#include <pthread.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace kelvara {
namespace {

std::optional<std::size_t> parse_count(const char* text) {
  if (!text) return std::nullopt;
  if (*text == '+') ++text;  // "+4" is a count too
  std::size_t value = 0;
  const char* end = text + std::strlen(text);
  const auto res = std::from_chars(text, end, value);
  if (res.ec != std::errc() || res.ptr != end || end == text) return std::nullopt;
  return value;
}

struct Pool {
  explicit Pool(std::size_t n)
      : size(n), control(tbb::global_control::max_allowed_parallelism, n) {}
  std::size_t size;
  tbb::global_control control;
};

// Built on first use and kept for the life of the process. `creation` is
// held while it is built and across fork(), so a child sees it either
// complete or absent.
std::mutex creation;
std::atomic<Pool*> instance{nullptr};
// In a child forked after the pool started: the size of the pool it lost.
std::atomic<std::size_t> lost_size{0};

void before_fork() { creation.lock(); }
void after_fork_in_parent() { creation.unlock(); }
void after_fork_in_child() {
  if (const Pool* p = instance.load(std::memory_order_relaxed))
    lost_size.store(p->size, std::memory_order_relaxed);
  creation.unlock();
}

[[maybe_unused]] const int fork_handlers_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

Pool& pool() {
  if (Pool* p = instance.load(std::memory_order_acquire)) return *p;
  const std::lock_guard<std::mutex> hold(creation);
  if (Pool* p = instance.load(std::memory_order_relaxed)) return *p;
  const unsigned hw = std::thread::hardware_concurrency();
  auto* p = new Pool(pool_size_from(std::getenv("RAYON_NUM_THREADS"),
                                    std::getenv("RAYON_RS_NUM_CPUS"), hw ? hw : 1));
  instance.store(p, std::memory_order_release);
  return *p;
}

// Set on the threads of for_each_index_on_own_threads: a task that maps
// again runs the inner map itself rather than start threads of its own.
thread_local bool on_own_thread = false;

}  // namespace

std::size_t max_pool_size(std::size_t processors) {
  return std::max<std::size_t>(256, 4 * processors);
}

std::size_t pool_size_from(const char* num_threads, const char* rs_num_cpus,
                           std::size_t processors) {
  std::size_t n = processors;
  if (auto count = parse_count(num_threads)) {
    n = *count > 0 ? *count : processors;
  } else if (auto alias = parse_count(rs_num_cpus); alias && *alias > 0) {
    n = *alias;
  }
  return std::min(n, max_pool_size(processors));
}

void start_worker_pool() { pool(); }

std::size_t worker_pool_size() {
  if (const std::size_t lost = lost_size.load(std::memory_order_relaxed)) return lost;
  return pool().size;
}

bool pool_lost_to_fork() { return lost_size.load(std::memory_order_relaxed) != 0; }

void for_each_index_on_own_threads(std::size_t n, void (*call)(void*, std::size_t), void* f) {
  if (n == 0) return;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_lock;
  auto work = [&] {
    const bool outer = on_own_thread;
    on_own_thread = true;
    for (std::size_t i; !failed.load(std::memory_order_relaxed) && (i = next.fetch_add(1)) < n;) {
      try {
        call(f, i);
      } catch (...) {
        const std::lock_guard<std::mutex> hold(error_lock);
        if (!error) error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
    }
    on_own_thread = outer;
  };
  // Threads live for one map only, so a further fork never loses any.
  const std::size_t helpers = on_own_thread ? 0 : std::min(worker_pool_size(), n) - 1;
  std::vector<std::thread> threads;
  threads.reserve(helpers);
  try {
    while (threads.size() < helpers) threads.emplace_back(work);
  } catch (...) {
    // Out of threads: the ones started and this one do the rest.
  }
  work();
  for (auto& t : threads) t.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace kelvara
