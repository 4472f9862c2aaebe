#pragma once
// The single way into the Python C API for kelvara's binding code: owning
// references, the entry-point guard that turns C++ exceptions into Python
// ones, the fast-call argument parser and the argument conversions.
//
// Inside binding code a Python error is a C++ exception: a failed API call
// sets the Python error and throws ErrorAlreadySet, and `guarded` at each
// entry point returns NULL for it. Core errors never cross this layer as
// C++ exceptions except InvariantError, which becomes the panic exception.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <complex>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "python/thread_state.hpp"
#include "support/interrupt.hpp"

namespace kelvara::py {

// A Python exception is set; unwind to the entry point.
struct ErrorAlreadySet {};

// An owned strong reference.
class Ref {
 public:
  Ref() = default;
  // Takes ownership of a new reference; a null one means a Python error is
  // set, and throws.
  static Ref steal(PyObject* p) {
    if (!p) throw ErrorAlreadySet{};
    return Ref(p);
  }
  // A null reference is not an error here (lookups that may find nothing).
  static Ref steal_or_null(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& other) : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// Sets `type` with `message` and throws ErrorAlreadySet.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Raises `type` with `message`, the exception being raised becoming its
// __cause__.
[[noreturn]] void raise_chained(PyObject* type, const std::string& message);

// The exception being raised (normalised, with its traceback), taken off the
// error indicator; empty when none is set. restore_exception puts it back.
Ref fetch_exception();
void restore_exception(Ref exc);

// Throws ErrorAlreadySet if a Python error is set.
void throw_if_error();

// For a failure that only means "try another way": clears the Python error,
// unless it must reach the caller as itself (KeyboardInterrupt, SystemExit
// and whatever else is not an Exception, and MemoryError): then throws
// ErrorAlreadySet with it still set.
void clear_unless_fatal();

// The exception raised for violated internal invariants: derived from
// BaseException so that `except Exception` does not hide a bug, and not a
// module attribute.
PyObject* panic_exception();

// Sets the Python error for the C++ exception being handled.
void set_error_from_current_exception() noexcept;

template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

template <class F>
int guarded_status(F&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

// A new heap type (kept for the life of the process) from its slots; `base`
// null derives from object. Throws on failure.
PyTypeObject* create_type(const char* name, std::size_t basicsize, unsigned int flags,
                          PyType_Slot* slots, PyTypeObject* base = nullptr);

// Releases the interpreter lock for the lifetime of the object.
class AllowThreads {
 public:
  AllowThreads() : state_(PyEval_SaveThread()) {}
  ~AllowThreads() { restore_thread(state_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

// AllowThreads for long work that should heed Ctrl-C: its hook, polled by
// the work on this thread, takes the lock back just long enough to run
// pending signal handlers. A handler's exception stays set for the caller
// to report once the work has unwound. Off the main thread, where handlers
// never run, the work stops with KeyboardInterrupt once a SIGINT arrived
// after it began (and SIGINT raises KeyboardInterrupt), and the lock is
// taken only then.
class AllowThreadsHeedingSignals {
 public:
  AllowThreadsHeedingSignals()
      : on_main_thread_(on_main_thread()),
        sigints_seen_(watch_sigints()),
        state_(PyEval_SaveThread()) {}
  ~AllowThreadsHeedingSignals() { restore_thread(state_); }
  AllowThreadsHeedingSignals(const AllowThreadsHeedingSignals&) = delete;
  AllowThreadsHeedingSignals& operator=(const AllowThreadsHeedingSignals&) = delete;

  InterruptHook hook() { return {&signal_raised, this}; }

 private:
  static std::uint64_t watch_sigints() {
    count_sigints();
    return sigints_received();
  }

  static bool signal_raised(void* self) {
    auto* s = static_cast<AllowThreadsHeedingSignals*>(self);
    if (!s->on_main_thread_ && sigints_received() == s->sigints_seen_) return false;
    restore_thread(s->state_);
    bool raised = false;
    if (s->on_main_thread_) {
      raised = PyErr_CheckSignals() < 0;
    } else {
      s->sigints_seen_ = sigints_received();
      raised = sigint_raises_keyboard_interrupt();
      if (raised) PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
    s->state_ = PyEval_SaveThread();
    return raised;
  }

  bool on_main_thread_;
  std::uint64_t sigints_seen_;
  PyThreadState* state_;
};

// ---- arguments ----------------------------------------------------------

// A function's parameter list: `function` names it in messages
// ("Circuit.with_values"), the first `required` names are mandatory.
struct Signature {
  const char* function;
  std::span<const char* const> names;
  std::size_t required;
};

// Matches positional and keyword arguments to the names, filling `out`
// (one slot per name, borrowed, null when not given). Too many positional
// arguments, unknown, duplicate or missing ones raise TypeError.
void parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> out);
void parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs,
                      std::span<PyObject*> out);

// Runs `convert`; a TypeError it raises becomes
// TypeError("argument '{name}': {message}") with the original as cause.
[[noreturn]] void rethrow_for_argument(const char* name);
template <class F>
auto argument(const char* name, F&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const ErrorAlreadySet&) {
    rethrow_for_argument(name);
  }
}

// ---- conversions ----------------------------------------------------------

double to_double(PyObject* obj);                 // like float()
std::complex<double> to_complex(PyObject* obj);  // like complex()
std::string to_string(PyObject* obj);            // str only, as UTF-8
// str only, as UTF-8 with each lone surrogate (which UTF-8 cannot hold) as
// U+FFFD, so that text echoed in a report keeps its character positions.
std::string to_text(PyObject* obj);
bool to_bool(PyObject* obj);          // bool and NumPy booleans only
std::uint64_t to_u64(PyObject* obj);  // index protocol; OverflowError out of range
std::uint32_t to_u32(PyObject* obj);

// Raises TypeError for what looks like a sequence but must not be read as
// numbers: bytes, bytearray and byte memoryviews, and NumPy masked arrays
// (whose data would be read with the mask ignored).
void reject_ambiguous_sequence(PyObject* obj);

// Sequences (not str, nor what reject_ambiguous_sequence refuses): every
// item converted as above.
std::vector<double> to_double_vector(PyObject* obj);
std::vector<std::complex<double>> to_complex_vector(PyObject* obj);

Ref to_python(double x);
Ref to_python(std::string_view text);
Ref to_python_list(std::span<const std::string> items);
Ref to_python_list(std::span<const double> items);

// The type name of `obj` for messages.
std::string type_name(PyObject* obj);

}  // namespace kelvara::py
