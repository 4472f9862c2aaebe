// Errors, the panic exception and argument matching of the binding layer.

#include <new>
#include <stdexcept>
#include <utility>

#include "python/py.hpp"
#include "support/invariant.hpp"

namespace kelvara::py {

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* value = PyErr_GetRaisedException();
#else
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value && tb) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
#endif
  Ref out = Ref::borrow(value);
  Py_XDECREF(value);
  return out;
}

void restore_exception(Ref exc) {
  if (!exc) return;
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyObject* value = exc.release();
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))), value,
                PyException_GetTraceback(value));
#endif
}

void raise_chained(PyObject* type, const std::string& message) {
  Ref cause = fetch_exception();
  Ref exc =
      Ref::steal(PyObject_CallFunction(type, "s#", message.data(), Py_ssize_t(message.size())));
  if (cause) PyException_SetCause(exc.get(), cause.release());
  restore_exception(std::move(exc));
  throw ErrorAlreadySet{};
}

namespace {

std::string str_of(PyObject* obj) {
  Ref text = Ref::steal(PyObject_Str(obj));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (!utf8) throw ErrorAlreadySet{};
  return std::string(utf8, std::size_t(size));
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
  // Sized, not a C string: an error report echoes input that may hold NUL.
  Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
  PyErr_SetObject(type, text.get());
  throw ErrorAlreadySet{};
}

void throw_if_error() {
  if (PyErr_Occurred()) throw ErrorAlreadySet{};
}

void clear_unless_fatal() {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    throw ErrorAlreadySet{};
  }
  PyErr_Clear();
}

PyObject* panic_exception() {
  // Created once and kept: the class must stay the same object for the
  // life of the process.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "kelvara_runtime.PanicException",
      "An internal invariant of kelvara was violated. This is a bug, not a problem with the input.",
      PyExc_BaseException, nullptr);
  return type;
}

void set_error_from_current_exception() noexcept {
  auto panic = [](const char* message) {
    PyObject* type = panic_exception();
    PyErr_SetString(type ? type : PyExc_SystemError, message);
  };
  try {
    throw;
  } catch (const ErrorAlreadySet&) {
    if (!PyErr_Occurred()) panic("an error was reported without an exception");
  } catch (const InvariantError& e) {
    panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more elements than it can hold: the same
    // request for too much memory (num_particles=2**64-1), not a bug.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    panic(e.what());
  } catch (...) {
    panic("unknown C++ exception");
  }
}

void rethrow_for_argument(const char* name) {
  Ref exc = fetch_exception();
  if (!exc || Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(exc));
    throw ErrorAlreadySet{};
  }
  std::string message;
  try {
    message = "argument '" + std::string(name) + "': " + str_of(exc.get());
  } catch (const ErrorAlreadySet&) {
    clear_unless_fatal();
    message = "argument '" + std::string(name) + "': invalid value";
  }
  restore_exception(std::move(exc));
  raise_chained(PyExc_TypeError, message);
}

PyTypeObject* create_type(const char* name, std::size_t basicsize, unsigned int flags,
                          PyType_Slot* slots, PyTypeObject* base) {
  PyType_Spec definition = {name, int(basicsize), 0, flags, slots};
  Ref bases = base ? Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(base))) : Ref();
  PyObject* type = PyType_FromSpecWithBases(&definition, bases.get());
  if (!type) throw ErrorAlreadySet{};
  return reinterpret_cast<PyTypeObject*>(type);
}

namespace {

struct Keyword {
  PyObject* name;
  PyObject* value;
};

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) out += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

void match(const Signature& sig, std::span<PyObject* const> positional,
           std::span<const Keyword> keywords, std::span<PyObject*> out) {
  const std::string fn = std::string(sig.function) + "()";
  for (auto& slot : out) slot = nullptr;
  const std::size_t n = sig.names.size();
  if (positional.size() > n) {
    raise(PyExc_TypeError, fn + " takes " + std::to_string(n) + " positional argument" +
                               (n == 1 ? "" : "s") + " but " + std::to_string(positional.size()) +
                               (positional.size() == 1 ? " was" : " were") + " given");
  }
  for (std::size_t i = 0; i < positional.size(); ++i) out[i] = positional[i];
  for (const Keyword& kw : keywords) {
    if (!PyUnicode_Check(kw.name)) raise(PyExc_TypeError, fn + " keywords must be strings");
    std::size_t j = 0;
    while (j < n && PyUnicode_CompareWithASCIIString(kw.name, sig.names[j]) != 0) ++j;
    if (j == n)
      raise(PyExc_TypeError, fn + " got an unexpected keyword argument '" + str_of(kw.name) + "'");
    if (out[j])
      raise(PyExc_TypeError, fn + " got multiple values for argument '" + sig.names[j] + "'");
    out[j] = kw.value;
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (!out[i]) missing.push_back(sig.names[i]);
  }
  if (!missing.empty()) {
    raise(PyExc_TypeError, fn + " missing " + std::to_string(missing.size()) +
                               " required argument" + (missing.size() == 1 ? "" : "s") + ": " +
                               quoted_list(missing));
  }
}

}  // namespace

void parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, std::span<PyObject*> out) {
  std::vector<Keyword> keywords;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i)
    keywords.push_back({PyTuple_GET_ITEM(kwnames, i), args[nargs + i]});
  match(sig, {args, std::size_t(nargs)}, keywords, out);
}

void parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs,
                      std::span<PyObject*> out) {
  std::vector<PyObject*> positional;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i)
    positional.push_back(PyTuple_GET_ITEM(args, i));
  std::vector<Keyword> keywords;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) keywords.push_back({key, value});
  }
  match(sig, positional, keywords, out);
}

}  // namespace kelvara::py
