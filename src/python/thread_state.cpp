#include "python/thread_state.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "python/py.hpp"

namespace kelvara::py {

void restore_thread(PyThreadState* state) noexcept {
#if defined(__GLIBCXX__)
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    // Leaving this handler would end the unwinding and with it the process;
    // the process ends on its own shortly (the interpreter is finalizing).
    for (;;) ::pause();
  }
#else
  PyEval_RestoreThread(state);  // the forced unwinding can be caught by name only in libstdc++
#endif
}

namespace {

std::atomic<std::uint64_t> sigints{0};
// The handler the counting one calls; written only while the counting one
// is not installed.
struct sigaction forwarded {};

void count_and_forward(int signal, siginfo_t* info, void* context) {
  sigints.fetch_add(1, std::memory_order_relaxed);
  if (forwarded.sa_flags & SA_SIGINFO) {
    forwarded.sa_sigaction(signal, info, context);
  } else if (forwarded.sa_handler != SIG_DFL && forwarded.sa_handler != SIG_IGN) {
    forwarded.sa_handler(signal);
  }
}

}  // namespace

void count_sigints() {
  struct sigaction current {};
  if (::sigaction(SIGINT, nullptr, &current) != 0) return;
  const bool siginfo = (current.sa_flags & SA_SIGINFO) != 0;
  if (siginfo && current.sa_sigaction == count_and_forward) return;
  if (!siginfo && (current.sa_handler == SIG_DFL || current.sa_handler == SIG_IGN)) return;
  forwarded = current;
  struct sigaction counting = current;
  counting.sa_sigaction = count_and_forward;
  counting.sa_flags = current.sa_flags | SA_SIGINFO;
  ::sigaction(SIGINT, &counting, nullptr);
}

std::uint64_t sigints_received() noexcept { return sigints.load(std::memory_order_relaxed); }

bool sigint_raises_keyboard_interrupt() {
  Ref module = Ref::steal_or_null(PyImport_ImportModule("signal"));
  Ref handler =
      module ? Ref::steal_or_null(PyObject_CallMethod(module.get(), "getsignal", "i", SIGINT))
             : Ref();
  Ref standard =
      module ? Ref::steal_or_null(PyObject_GetAttrString(module.get(), "default_int_handler"))
             : Ref();
  if (!handler || !standard) {
    PyErr_Clear();  // called from a poll that must not throw; stopping is the safe answer
    return true;
  }
  return handler.get() == standard.get();
}

namespace {

// Python's main thread, looked up once: a fit need not run Python code to
// know where it runs. A child forked from another thread has that thread as
// its main one, so the fork forgets it.
std::atomic<unsigned long> main_ident{0};
[[maybe_unused]] const int forget_main_on_fork =
    pthread_atfork(nullptr, nullptr, [] { main_ident.store(0, std::memory_order_relaxed); });

}  // namespace

bool on_main_thread() {
  unsigned long main = main_ident.load(std::memory_order_relaxed);
  if (main == 0) {
    Ref module = Ref::steal(PyImport_ImportModule("threading"));
    Ref thread = Ref::steal(PyObject_CallMethod(module.get(), "main_thread", nullptr));
    Ref ident = Ref::steal(PyObject_GetAttrString(thread.get(), "ident"));
    main = PyLong_AsUnsignedLong(ident.get());
    throw_if_error();
    main_ident.store(main, std::memory_order_relaxed);
  }
  return main == PyThread_get_thread_ident();
}

}  // namespace kelvara::py
