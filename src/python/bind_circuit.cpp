#include "python/bind_circuit.hpp"

#include <algorithm>
#include <array>
#include <new>
#include <string>
#include <unordered_map>

#include "circuit/parser.hpp"
#include "circuit/spectrum_eval.hpp"
#include "circuit/tree.hpp"
#include "circuit/tree_utils.hpp"
#include "models/registry.hpp"
#include "python/circuit_methods.hpp"
#include "python/circuit_text.hpp"
#include "python/frame_column.hpp"
#include "python/numpy_array.hpp"
#include "support/text_format.hpp"

namespace kelvara::py {
namespace {

struct CircuitObject {
  PyObject_HEAD CircuitValue value;
};

PyTypeObject* g_type = nullptr;

const SeriesList& tree_of(PyObject* self) {
  return reinterpret_cast<CircuitObject*>(self)->value.tree;
}

void circuit_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<CircuitObject*>(self)->value.~CircuitValue();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* circuit_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    static constexpr std::array<const char*, 1> names = {"s"};
    std::array<PyObject*, 1> given{};
    parse_tuple_dict({"Circuit.__new__", names, 1}, args, kwargs, given);
    const std::string s = argument("s", [&] { return to_text(given[0]); });
    return wrap_circuit({tree_from_text(s), false}).release();
  });
}

std::size_t longest(const std::vector<std::string>& names) {
  std::size_t n = 0;
  for (const auto& name : names) n = std::max(n, name.size());
  return n;
}

std::string padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

std::string bounds_text(const Bounds& b) {
  return "bounds (" + format_param_value(b.lo) + ", " + format_param_value(b.hi) + ")";
}

PyObject* circuit_repr(PyObject* self) {
  return guarded([&] {
    const SeriesList& tree = tree_of(self);
    const auto names = param_names(tree);
    const auto units = param_units(tree);
    const auto bounds = param_bounds(tree);
    const auto values = param_values(tree);
    const std::size_t width = longest(names);
    std::string out = "Circuit (" + std::to_string(names.size()) + " parameter" +
                      (names.size() == 1 ? "" : "s") + ")\n";
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i) out += "\n";
      out += "  " + padded(names[i], width) + " = " + padded(format_param_value(values[i]), 10) +
             " [" + units[i] + "]  " + bounds_text(bounds[i]);
    }
    return to_python(out).release();
  });
}

PyObject* param_names_method(PyObject* self, PyObject*) {
  return guarded([&] { return to_python_list(param_names(tree_of(self))).release(); });
}

PyObject* param_units_method(PyObject* self, PyObject*) {
  return guarded([&] { return to_python_list(param_units(tree_of(self))).release(); });
}

PyObject* param_values_method(PyObject* self, PyObject*) {
  return guarded([&] { return to_python_list(param_values(tree_of(self))).release(); });
}

PyObject* param_bounds_method(PyObject* self, PyObject*) {
  return guarded([&] {
    const auto bounds = param_bounds(tree_of(self));
    Ref list = Ref::steal(PyList_New(Py_ssize_t(bounds.size())));
    for (std::size_t i = 0; i < bounds.size(); ++i) {
      Ref pair =
          Ref::steal(PyTuple_Pack(2, to_python(bounds[i].lo).get(), to_python(bounds[i].hi).get()));
      PyList_SET_ITEM(list.get(), Py_ssize_t(i), pair.release());
    }
    return list.release();
  });
}

PyObject* one_argument(const char* function, const char* name, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  const std::array<const char*, 1> names = {name};
  std::array<PyObject*, 1> given{};
  parse_fastcall({function, names, 1}, args, nargs, kwnames, given);
  return given[0];
}

PyObject* with_values_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guarded([&] {
    PyObject* arg = one_argument("Circuit.with_values", "values", args, nargs, kwnames);
    const auto values = argument("values", [&] { return to_double_vector(arg); });
    const SeriesList& tree = tree_of(self);
    const std::size_t count = param_count(tree);
    if (values.size() != count) {
      raise(PyExc_ValueError,
            "expected " + std::to_string(count) + " values, got " + std::to_string(values.size()));
    }
    return wrap_circuit({rebuild(tree, values), true}).release();
  });
}

// Values by name, in dict order.
std::vector<std::pair<std::string, double>> to_named_values(PyObject* obj) {
  if (!PyDict_Check(obj))
    raise(PyExc_TypeError, "'" + type_name(obj) + "' object cannot be converted to 'dict'");
  std::vector<std::pair<std::string, double>> out;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(obj, &pos, &key, &value)) out.emplace_back(to_string(key), to_double(value));
  return out;
}

PyObject* with_named_values_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  return guarded([&] {
    PyObject* arg = one_argument("Circuit.with_named_values", "values", args, nargs, kwnames);
    const auto given = argument("values", [&] { return to_named_values(arg); });
    const SeriesList& tree = tree_of(self);
    const auto names = param_names(tree);

    std::unordered_map<std::string_view, double> by_name;
    for (const auto& [name, value] : given) by_name[name] = value;
    std::vector<std::string> lines;
    for (const auto& [name, value] : given) {
      if (std::find(names.begin(), names.end(), name) != names.end()) continue;
      const auto suggestion = closest_param_name(name, names);
      lines.push_back("unknown parameter " + debug_quote(name) +
                      (suggestion ? " (did you mean " + debug_quote(*suggestion) + "?)" : ""));
    }
    std::vector<std::string> missing;
    for (const auto& name : names) {
      if (!by_name.count(name)) missing.push_back(name);
    }
    if (!missing.empty()) lines.push_back("missing parameter(s): " + debug_quote_list(missing));

    if (!lines.empty()) {
      const auto units = param_units(tree);
      const auto bounds = param_bounds(tree);
      const std::size_t width = longest(names);
      std::string report;
      for (const auto& line : lines) report += line + "\n";
      report += "\nvalid parameters for this circuit:";
      for (std::size_t i = 0; i < names.size(); ++i) {
        report +=
            "\n  " + padded(names[i], width) + "  [" + units[i] + "]  " + bounds_text(bounds[i]);
      }
      raise(PyExc_ValueError, report);
    }
    std::vector<double> values;
    for (const auto& name : names) values.push_back(by_name.at(name));
    return wrap_circuit({rebuild(tree, values), true}).release();
  });
}

PyObject* impedance_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] {
    PyObject* arg = one_argument("Circuit.impedance", "frequencies", args, nargs, kwnames);
    std::vector<double> frequencies;
    reject_ambiguous_sequence(arg);
    try {
      frequencies = to_double_vector(arg);
    } catch (const ErrorAlreadySet&) {
      // Not a list of numbers: perhaps a dataframe with a frequency column.
      clear_unless_fatal();
      auto column = frame_column(arg, "Frequency / Hz", "frequency_hertz");
      if (!column) {
        raise(PyExc_ValueError,
              "expected a sequence of frequencies, or a dataframe with a \"Frequency / Hz\" or "
              "\"frequency_hertz\" column");
      }
      frequencies = std::move(*column);
    }
    std::complex<double>* data = nullptr;
    Ref array = new_complex_array(frequencies.size(), data);
    {
      // The tree is immutable and `self` outlives the call.
      AllowThreads unlocked;
      impedance_spectrum(tree_of(self), frequencies, {data, frequencies.size()});
    }
    return array.release();
  });
}

// Method order and docstrings are part of the interface (help(), inspect).
PyMethodDef kMethods[] = {
    {"ml_circuits", circuit_ml_circuits, METH_NOARGS | METH_STATIC, kMlCircuitsDoc},
    {"guess", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_guess)),
     METH_FASTCALL | METH_KEYWORDS, kGuessDoc},
    {"param_names", param_names_method, METH_NOARGS,
     "param_names($self)\n--\n\nParameter names, in the same order `with_values()` consumes and\n"
     "`with_named_values()` expects as keys."},
    {"with_values", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(with_values_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "with_values($self, values)\n--\n\nRebuild this circuit with a new flat parameter vector, "
     "assigned\n"
     "positionally in `param_names()` order."},
    {"with_named_values",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(with_named_values_method)),
     METH_FASTCALL | METH_KEYWORDS,
     "with_named_values($self, values)\n--\n\nRebuild this circuit with parameter values looked up "
     "by name (see\n"
     "`param_names()`). Every name must be present and no unknown names\nmay be supplied."},
    {"impedance", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(impedance_method)),
     METH_FASTCALL | METH_KEYWORDS, "impedance($self, frequencies)\n--\n\n"},
    {"param_values", param_values_method, METH_NOARGS,
     "param_values($self)\n--\n\nCurrent parameter values, in `param_names()` order."},
    {"param_bounds", param_bounds_method, METH_NOARGS,
     "param_bounds($self)\n--\n\nDefault physical-validity `(lo, hi)` bounds per parameter, in\n"
     "`param_names()` order. `hi` is `inf` for open-bound parameters."},
    {"param_units", param_units_method, METH_NOARGS,
     "param_units($self)\n--\n\nPhysical units per parameter"},
    {"residuals", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_residuals)),
     METH_FASTCALL | METH_KEYWORDS, kResidualsDoc},
    {"jacobian", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_jacobian)),
     METH_FASTCALL | METH_KEYWORDS, kJacobianDoc},
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(circuit_fit)),
     METH_FASTCALL | METH_KEYWORDS,
     nullptr},  // the docstring is built from the option table when the type is made
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* circuit_type() {
  if (g_type) return g_type;
  for (PyMethodDef* m = kMethods; m->ml_name; ++m) {
    if (std::string_view(m->ml_name) == "fit") m->ml_doc = fit_doc();
  }
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(circuit_new)},
      {Py_tp_repr, reinterpret_cast<void*>(circuit_repr)},
      {Py_tp_dealloc, reinterpret_cast<void*>(circuit_dealloc)},
      {Py_tp_methods, kMethods},
      {Py_tp_doc, const_cast<char*>("Circuit(s)\n--\n\n")},
      {0, nullptr},
  };
  g_type = create_type("kelvara.Circuit", sizeof(CircuitObject),
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots);
  return g_type;
}

bool is_circuit(PyObject* obj) { return g_type && PyObject_TypeCheck(obj, g_type); }

const CircuitValue& circuit_value(PyObject* obj) {
  return reinterpret_cast<CircuitObject*>(obj)->value;
}

Ref wrap_circuit(CircuitValue value) {
  PyTypeObject* type = circuit_type();
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  new (&reinterpret_cast<CircuitObject*>(self.get())->value) CircuitValue(std::move(value));
  return self;
}

}  // namespace kelvara::py
