// Conversions of Python arguments into native values and back.

#include <cstring>
#include <limits>

#include "python/py.hpp"

namespace kelvara::py {

std::string type_name(PyObject* obj) {
  Ref name = Ref::steal(PyType_GetName(Py_TYPE(obj)));
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
  if (!utf8) throw ErrorAlreadySet{};
  return std::string(utf8, std::size_t(size));
}

double to_double(PyObject* obj) {
  if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
  const double x = PyFloat_AsDouble(obj);
  if (x == -1.0) throw_if_error();
  return x;
}

std::complex<double> to_complex(PyObject* obj) {
  if (PyComplex_CheckExact(obj)) {
    const Py_complex c = PyComplex_AsCComplex(obj);
    return {c.real, c.imag};
  }
  const Py_complex c = PyComplex_AsCComplex(obj);
  if (c.real == -1.0) throw_if_error();
  return {c.real, c.imag};
}

std::string to_string(PyObject* obj) {
  if (!PyUnicode_Check(obj))
    raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'str'");
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!utf8) throw ErrorAlreadySet{};
  return std::string(utf8, std::size_t(size));
}

std::string to_text(PyObject* obj) {
  if (!PyUnicode_Check(obj))
    raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'str'");
  Ref utf8 = Ref::steal(PyUnicode_AsEncodedString(obj, "utf-8", "surrogatepass"));
  const std::string_view bytes(PyBytes_AS_STRING(utf8.get()),
                               std::size_t(PyBytes_GET_SIZE(utf8.get())));
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    // "surrogatepass" writes U+D800..U+DFFF as ED A0..BF xx.
    if (std::uint8_t(bytes[i]) == 0xED && i + 2 < bytes.size() &&
        std::uint8_t(bytes[i + 1]) >= 0xA0) {
      out += "\xEF\xBF\xBD";
      i += 2;
    } else {
      out += bytes[i];
    }
  }
  return out;
}

bool to_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  const char* name = Py_TYPE(obj)->tp_name;
  if (std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) throw ErrorAlreadySet{};
    return truth == 1;
  }
  raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'bool'");
}

std::uint64_t to_u64(PyObject* obj) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1)) throw_if_error();
  return value;
}

std::uint32_t to_u32(PyObject* obj) {
  const std::uint64_t value = to_u64(obj);
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::uint32_t>(value);
}

namespace {

bool is_byte_view(PyObject* obj) {
  if (!PyMemoryView_Check(obj)) return false;
  const char* format = PyMemoryView_GET_BUFFER(obj)->format;
  if (!format) return true;
  if (*format == '<' || *format == '>' || *format == '=' || *format == '@' || *format == '!')
    ++format;
  return std::strcmp(format, "B") == 0 || std::strcmp(format, "b") == 0 ||
         std::strcmp(format, "c") == 0;
}

bool is_masked_array(PyObject* obj) {
  // Without numpy.ma imported there can be no masked array.
  Ref ma = Ref::steal_or_null(PyImport_GetModule(to_python(std::string_view("numpy.ma")).get()));
  if (!ma) {
    throw_if_error();
    return false;
  }
  Ref type = Ref::steal(PyObject_GetAttrString(ma.get(), "MaskedArray"));
  const int masked = PyObject_IsInstance(obj, type.get());
  if (masked < 0) throw ErrorAlreadySet{};
  return masked == 1;
}

}  // namespace

void reject_ambiguous_sequence(PyObject* obj) {
  if (PyBytes_Check(obj) || PyByteArray_Check(obj) || is_byte_view(obj)) {
    raise(PyExc_TypeError, "'" + type_name(obj) +
                               "' object cannot be converted to a sequence of numbers: raw bytes "
                               "are not read as numbers");
  }
  if (is_masked_array(obj)) {
    raise(PyExc_TypeError,
          "masked arrays are not accepted: fill them first (array.filled(...)), or drop the masked "
          "points "
          "(array.compressed())");
  }
}

namespace {

// Rejects what is not a sequence of items: str (a sequence of characters,
// never meant as numbers) and objects without the sequence protocol.
void check_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  reject_ambiguous_sequence(obj);
  if (!PySequence_Check(obj)) {
    raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'Sequence'");
  }
}

// Contiguous one-dimensional buffers of exactly `format` (NumPy arrays of
// the right dtype) are copied in one go; `false` means: iterate instead.
template <class T>
bool copy_from_buffer(PyObject* obj, const char* format, std::vector<T>& out) {
  if (!PyObject_CheckBuffer(obj)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
    clear_unless_fatal();
    return false;
  }
  const char* f = view.format ? view.format : "B";
  if (*f == '<' || *f == '=' || *f == '@') ++f;
  const bool usable =
      view.ndim == 1 && view.itemsize == Py_ssize_t(sizeof(T)) && std::strcmp(f, format) == 0;
  if (usable) {
    // One pass: the buffer holds T values (a complex<double> is two doubles).
    const T* first = static_cast<const T*>(view.buf);
    out.assign(first, first + view.shape[0]);
  }
  PyBuffer_Release(&view);
  return usable;
}

template <class T, class Convert>
std::vector<T> to_vector(PyObject* obj, const char* buffer_format, Convert convert) {
  check_sequence(obj);
  std::vector<T> out;
  if (copy_from_buffer(obj, buffer_format, out)) return out;
  // The length is only a capacity hint; a failing len() is not an error.
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    clear_unless_fatal();
  } else {
    out.reserve(std::size_t(hint));
  }
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  while (PyObject* item = PyIter_Next(iter.get())) {
    Ref owned = Ref::steal(item);
    out.push_back(convert(owned.get()));
  }
  throw_if_error();
  return out;
}

}  // namespace

std::vector<double> to_double_vector(PyObject* obj) {
  return to_vector<double>(obj, "d", to_double);
}

std::vector<std::complex<double>> to_complex_vector(PyObject* obj) {
  return to_vector<std::complex<double>>(obj, "Zd", to_complex);
}

Ref to_python(double x) { return Ref::steal(PyFloat_FromDouble(x)); }

Ref to_python(std::string_view text) {
  return Ref::steal(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}

Ref to_python_list(std::span<const std::string> items) {
  Ref list = Ref::steal(PyList_New(Py_ssize_t(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i)
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), to_python(items[i]).release());
  return list;
}

Ref to_python_list(std::span<const double> items) {
  Ref list = Ref::steal(PyList_New(Py_ssize_t(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i)
    PyList_SET_ITEM(list.get(), Py_ssize_t(i), to_python(items[i]).release());
  return list;
}

}  // namespace kelvara::py
