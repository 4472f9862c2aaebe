// A child forked while other threads use the worker pool. Not run under
// ThreadSanitizer, which does not follow a multi-threaded fork.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/worker_pool.hpp"

namespace kelvara {
namespace {

// 0 when every index of a map ran exactly once, a nested map included.
int map_each_index_once(std::size_t n) {
  std::vector<std::atomic<int>> seen(n);
  parallel_for_each_index(n, [&](std::size_t i) {
    if (i == 0) parallel_for_each_index(4, [&](std::size_t) {});
    seen[i].fetch_add(1);
  });
  for (const auto& s : seen) {
    if (s.load() != 1) return 1;
  }
  return 0;
}

int in_child(std::size_t parent_size) {
  if (!pool_lost_to_fork() || worker_pool_size() != parent_size) return 10;
  if (map_each_index_once(1000) != 0) return 11;
  try {
    parallel_for_each_index(100, [](std::size_t i) {
      if (i == 37) throw std::runtime_error("task failed");
    });
    return 12;
  } catch (const std::runtime_error&) {
  }
  return 0;
}

TEST(PoolFork, ChildForkedWhileThePoolWorksMapsOnItsOwnThreads) {
  ASSERT_EQ(map_each_index_once(64), 0);
  const std::size_t size = worker_pool_size();
  std::atomic<bool> stop{false};
  std::thread busy([&] {
    while (!stop.load()) map_each_index_once(256);
  });
  for (int round = 0; round < 20; ++round) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) ::_exit(in_child(size));
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "round " << round << ", status " << status;
  }
  stop = true;
  busy.join();
  EXPECT_FALSE(pool_lost_to_fork());
  EXPECT_EQ(map_each_index_once(64), 0);
}

}  // namespace
}  // namespace kelvara
