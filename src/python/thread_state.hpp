#pragma once
// Leaving and re-entering the interpreter around long native work, safely
// at every moment of the process's life, and the Ctrl-C that reaches work
// on threads other than the main one.
//
// Re-entering: a thread that asks for the interpreter lock once the
// interpreter has begun to finalize (a daemon thread still fitting when the
// program ends) is ended by CPython with pthread_exit. Its forced unwinding
// would run into the noexcept frames between here and CPython (destructors,
// the entry-point guard) and abort the process with "terminate called
// without an active exception". Such a thread instead waits here, holding
// nothing, for the process to end.
//
// Ctrl-C: CPython runs signal handlers on the main thread only, so a fit on
// any other thread never saw one. A SIGINT handler placed in front of the
// one installed (CPython's own, which it still calls) counts the signals;
// work off the main thread compares the count with the one it began with.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace kelvara::py {

// PyEval_RestoreThread(state), or no return at all while the interpreter
// finalizes.
void restore_thread(PyThreadState* state) noexcept;

// Puts the counting SIGINT handler in front of the installed one, unless it
// is there already or SIGINT is ignored or left to its default action.
// Python's signal.signal() replaces it; each call puts it back. Call with
// the interpreter lock held.
void count_sigints();

// SIGINTs received since the process started counting them (lock-free).
std::uint64_t sigints_received() noexcept;

// Whether SIGINT ends in KeyboardInterrupt: Python's default handler is
// installed. Needs the interpreter lock; never raises (a failed lookup
// counts as yes).
bool sigint_raises_keyboard_interrupt();

// Whether the calling thread is Python's main thread. Needs the lock.
bool on_main_thread();

}  // namespace kelvara::py
