#include "support/worker_pool.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <tbb/global_control.h>

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
      : size(n),
        control(tbb::global_control::max_allowed_parallelism, n),
        arena(static_cast<int>(n)) {}
  std::size_t size;
  tbb::global_control control;
  tbb::task_arena arena;
};

Pool& pool() {
  // Built on first use and kept for the life of the process.
  static Pool* instance = [] {
    const unsigned hw = std::thread::hardware_concurrency();
    const std::size_t n = pool_size_from(std::getenv("RAYON_NUM_THREADS"),
                                         std::getenv("RAYON_RS_NUM_CPUS"), hw ? hw : 1);
    return new Pool(n);
  }();
  return *instance;
}

}  // namespace

std::size_t pool_size_from(const char* num_threads, const char* rs_num_cpus, std::size_t processors) {
  if (auto n = parse_count(num_threads)) return *n > 0 ? *n : processors;
  if (auto n = parse_count(rs_num_cpus); n && *n > 0) return *n;
  return processors;
}

tbb::task_arena& worker_pool() { return pool().arena; }
std::size_t worker_pool_size() { return pool().size; }

}  // namespace kelvara
