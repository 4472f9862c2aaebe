#include "python/frame_column.hpp"

#include "support/text_format.hpp"

namespace kelvara::py {

std::optional<std::vector<double>> frame_column(PyObject* frame, const char* long_name, const char* short_name) {
  for (const char* name : {long_name, short_name}) {
    Ref key = to_python(std::string_view(name));
    PyObject* answer = PyObject_GetItem(frame, key.get());
    if (!answer) {
      // Whatever frame[name] raised only means: no such column.
      PyErr_Clear();
      continue;
    }
    Ref column = Ref::steal(answer);
    try {
      return to_double_vector(column.get());
    } catch (const ErrorAlreadySet&) {
      PyErr_Clear();
      raise(PyExc_ValueError, "column " + debug_quote(name) + " is not numeric");
    }
  }
  return std::nullopt;
}

}  // namespace kelvara::py
