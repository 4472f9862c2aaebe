#pragma once
// Cooperative cancellation of long work. The caller hands in a plain
// function and its context; the work polls it from the thread that created
// the poll, at most once per kInterruptInterval, and unwinds with
// FitInterrupted when the function asks to stop. The core knows nothing of
// what the function does (the Python layer checks for signals there).

#include <chrono>
#include <thread>

namespace kelvara {

struct InterruptHook {
  // True asks the work to stop. Called only on the thread that made the poll.
  bool (*should_stop)(void* context) = nullptr;
  void* context = nullptr;
};

// Thrown out of the work when the hook asked to stop.
struct FitInterrupted {};

inline constexpr std::chrono::milliseconds kInterruptInterval{5};

class InterruptPoll {
 public:
  explicit InterruptPoll(InterruptHook hook = {})
      : hook_(hook),
        owner_(std::this_thread::get_id()),
        next_(std::chrono::steady_clock::now() + kInterruptInterval) {}

  // Cheap when no hook is set, or on any other thread (pool workers must
  // never reach the hook); otherwise a clock read between calls.
  void poll() {
    if (!hook_.should_stop || std::this_thread::get_id() != owner_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return;
    if (hook_.should_stop(hook_.context)) throw FitInterrupted{};
    next_ = std::chrono::steady_clock::now() + kInterruptInterval;
  }

 private:
  InterruptHook hook_;
  std::thread::id owner_;
  std::chrono::steady_clock::time_point next_;
};

}  // namespace kelvara
