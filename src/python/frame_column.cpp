#include "python/frame_column.hpp"

#include "support/text_format.hpp"

namespace kelvara::py {

std::optional<std::vector<double>> frame_column(PyObject* frame, const char* long_name,
                                                const char* short_name) {
  for (const char* name : {long_name, short_name}) {
    Ref key = to_python(std::string_view(name));
    PyObject* answer = PyObject_GetItem(frame, key.get());
    if (!answer) {
      // What frame[name] raised only means: no such column (an interrupt
      // or exhausted memory still reaches the caller).
      clear_unless_fatal();
      continue;
    }
    Ref column = Ref::steal(answer);
    // MultiIndex columns, or a name used twice, give a table: iterating it
    // would read its labels as numbers.
    if (PyObject_HasAttrString(column.get(), "ndim")) {
      Ref ndim = Ref::steal(PyObject_GetAttrString(column.get(), "ndim"));
      const long dims = PyLong_Check(ndim.get()) ? PyLong_AsLong(ndim.get()) : 1;
      if (dims == -1) throw_if_error();
      if (dims != 1) {
        raise(PyExc_ValueError, "column " + debug_quote(name) + " is not one column but " +
                                    std::to_string(dims) +
                                    "-dimensional (MultiIndex columns or a repeated column name?)");
      }
    }
    reject_ambiguous_sequence(column.get());
    try {
      return to_double_vector(column.get());
    } catch (const ErrorAlreadySet&) {
      clear_unless_fatal();
      raise(PyExc_ValueError, "column " + debug_quote(name) + " is not numeric");
    }
  }
  return std::nullopt;
}

}  // namespace kelvara::py
