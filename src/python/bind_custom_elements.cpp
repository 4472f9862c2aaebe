#include "python/bind_custom_elements.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "circuit/spectrum_eval.hpp"
#include "circuit/tree.hpp"
#include "circuit/tree_derivatives.hpp"
#include "circuit/tree_utils.hpp"
#include "python/circuit_text.hpp"
#include "python/numpy_array.hpp"

namespace kelvara::py {

CustomCatalogue& engine_catalogue() {
  static CustomCatalogue catalogue;
  return catalogue;
}

namespace {

// (name, unit, default, lo, hi, log) per parameter.
CustomParameter parameter_from(PyObject* item) {
  Ref fields = Ref::steal(
      PySequence_Fast(item, "each parameter must be a tuple (name, unit, default, lo, hi, log)"));
  if (PySequence_Fast_GET_SIZE(fields.get()) != 6)
    raise(PyExc_TypeError, "each parameter must be a tuple (name, unit, default, lo, hi, log)");
  auto at = [&](Py_ssize_t i) { return PySequence_Fast_GET_ITEM(fields.get(), i); };
  CustomParameter p;
  p.name = argument("parameters", [&] { return to_string(at(0)); });
  p.unit = argument("parameters", [&] { return to_string(at(1)); });
  p.default_value = argument("parameters", [&] { return to_double(at(2)); });
  p.bounds = {argument("parameters", [&] { return to_double(at(3)); }),
              argument("parameters", [&] { return to_double(at(4)); })};
  p.log_scale = argument("parameters", [&] { return to_bool(at(5)); });
  return p;
}

PyObject* define_element(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    static constexpr std::array<const char*, 3> names = {"code", "formula", "parameters"};
    std::array<PyObject*, 3> a{};
    parse_fastcall({"define_element", names, 3}, args, nargs, kwnames, a);
    std::string code = argument("code", [&] { return to_string(a[0]); });
    std::string formula = argument("formula", [&] { return to_text(a[1]); });
    Ref items = Ref::steal(PySequence_Fast(a[2], "parameters must be a sequence of tuples"));
    std::vector<CustomParameter> parameters;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i)
      parameters.push_back(parameter_from(PySequence_Fast_GET_ITEM(items.get(), i)));
    auto made = CustomDefinition::make(std::move(code), std::move(formula), std::move(parameters));
    if (auto* e = std::get_if<DefinitionError>(&made)) raise(PyExc_ValueError, e->message);
    engine_catalogue().define(std::get<CustomDefinitionPtr>(made));
    Py_RETURN_NONE;
  });
}

PyObject* forget_element(PyObject*, PyObject* code) {
  return guarded([&] {
    const std::string text = argument("code", [&] { return to_string(code); });
    return Ref::borrow(engine_catalogue().forget(text) ? Py_True : Py_False).release();
  });
}

Ref definition_dict(const CustomDefinition& d) {
  Ref out = Ref::steal(PyDict_New());
  auto set = [&](const char* key, Ref value) {
    if (PyDict_SetItemString(out.get(), key, value.get()) < 0) throw ErrorAlreadySet{};
  };
  set("code", to_python(d.code()));
  set("formula", to_python(d.formula()));
  Ref params = Ref::steal(PyList_New(Py_ssize_t(d.parameters().size())));
  for (std::size_t i = 0; i < d.parameters().size(); ++i) {
    const CustomParameter& p = d.parameters()[i];
    Ref tuple = Ref::steal(PyTuple_New(6));
    PyTuple_SET_ITEM(tuple.get(), 0, to_python(p.name).release());
    PyTuple_SET_ITEM(tuple.get(), 1, to_python(p.unit).release());
    PyTuple_SET_ITEM(tuple.get(), 2, to_python(p.default_value).release());
    PyTuple_SET_ITEM(tuple.get(), 3, to_python(p.bounds.lo).release());
    PyTuple_SET_ITEM(tuple.get(), 4, to_python(p.bounds.hi).release());
    PyTuple_SET_ITEM(tuple.get(), 5, Ref::borrow(p.log_scale ? Py_True : Py_False).release());
    PyList_SET_ITEM(params.get(), Py_ssize_t(i), tuple.release());
  }
  set("parameters", std::move(params));
  return out;
}

PyObject* formula_names(PyObject*, PyObject* formula) {
  return guarded([&] {
    const std::string text = argument("formula", [&] { return to_text(formula); });
    return to_python_list(formula_parameter_names(text)).release();
  });
}

PyObject* custom_elements(PyObject*, PyObject*) {
  return guarded([] {
    const auto all = engine_catalogue().all();
    Ref out = Ref::steal(PyList_New(Py_ssize_t(all.size())));
    for (std::size_t i = 0; i < all.size(); ++i)
      PyList_SET_ITEM(out.get(), Py_ssize_t(i), definition_dict(*all[i]).release());
    return out.release();
  });
}

SeriesList engine_tree(PyObject* notation) {
  return tree_from_text(argument("circuit", [&] { return to_text(notation); }),
                        &engine_catalogue());
}

// describe(circuit): what the lab needs of a circuit it cannot hand to
// kelvara.Circuit: names, units, bounds, values, and the custom codes used.
PyObject* describe(PyObject*, PyObject* notation) {
  return guarded([&] {
    const SeriesList tree = engine_tree(notation);
    Ref out = Ref::steal(PyDict_New());
    auto set = [&](const char* key, Ref value) {
      if (PyDict_SetItemString(out.get(), key, value.get()) < 0) throw ErrorAlreadySet{};
    };
    set("names", to_python_list(param_names(tree)));
    set("units", to_python_list(param_units(tree)));
    set("values", to_python_list(param_values(tree)));
    const std::vector<Bounds> bounds = param_bounds(tree);
    std::vector<double> lo, hi;
    for (const Bounds& b : bounds) lo.push_back(b.lo), hi.push_back(b.hi);
    set("lower", to_python_list(lo));
    set("upper", to_python_list(hi));
    std::vector<std::string> codes;
    for (const Leaf* leaf : collect_leaves(tree)) {
      if (const CustomDefinition* d = leaf->element.custom_definition()) {
        if (std::find(codes.begin(), codes.end(), d->code()) == codes.end())
          codes.push_back(d->code());
      }
    }
    set("custom", to_python_list(codes));
    return out.release();
  });
}

// NumPy's C API, loaded on the first evaluation rather than at import, so that importing
// the engine (the command line's --help does) does not load NumPy.
void numpy_loaded() {
  static bool loaded = false;  // read and set under the interpreter lock
  if (!loaded) {
    import_numpy();
    loaded = true;
  }
}

struct EvaluationCall {
  SeriesList tree;
  std::vector<double> values;
  std::vector<double> frequencies;
};

EvaluationCall read_evaluation(const char* function, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static constexpr std::array<const char*, 3> names = {"circuit", "values", "frequencies"};
  std::array<PyObject*, 3> a{};
  parse_fastcall({function, names, 3}, args, nargs, kwnames, a);
  EvaluationCall call{engine_tree(a[0]), {}, {}};
  call.values = argument("values", [&] { return to_double_vector(a[1]); });
  call.frequencies = argument("frequencies", [&] { return to_double_vector(a[2]); });
  const std::size_t n = param_count(call.tree);
  if (call.values.size() != n)
    raise(PyExc_ValueError, "this circuit has " + std::to_string(n) + " parameters, got " +
                                std::to_string(call.values.size()) + " values");
  return call;
}

// impedance(circuit, values, frequencies): Z at each frequency (Hz), as a
// complex array, evaluated without the interpreter lock.
PyObject* impedance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const EvaluationCall call = read_evaluation("impedance", args, nargs, kwnames);
    numpy_loaded();
    std::complex<double>* data = nullptr;
    Ref out = new_complex_array(call.frequencies.size(), data);
    {
      AllowThreads unlocked;
      const SeriesList tree = rebuild(call.tree, call.values);
      impedance_spectrum(tree, call.frequencies, {data, call.frequencies.size()});
    }
    return out.release();
  });
}

// derivatives(circuit, values, frequencies): dZ/dp at each frequency, a
// complex array of len(frequencies) * len(values), row by row.
PyObject* derivatives(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    const EvaluationCall call = read_evaluation("derivatives", args, nargs, kwnames);
    const std::size_t n = call.values.size(), m = call.frequencies.size();
    numpy_loaded();
    std::complex<double>* data = nullptr;
    Ref out = new_complex_array(n * m, data);
    {
      AllowThreads unlocked;
      for (std::size_t k = 0; k < m; ++k)
        impedance_derivatives(call.tree, call.values, call.frequencies[k] * kTwoPi,
                              {data + k * n, n});
    }
    return out.release();
  });
}

PyCFunction fastcall(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef kCustomElementMethods[] = {
    {"define_element", fastcall(define_element), METH_FASTCALL | METH_KEYWORDS,
     "define_element(code, formula, parameters)\n--\n\nDefines (or redefines) the element "
     "`code` for every later engine call in this process; parameters are tuples (name, unit, "
     "default, lo, hi, log)."},
    {"forget_element", forget_element, METH_O,
     "forget_element(code)\n--\n\nRemoves a definition; False where there was none."},
    {"formula_names", formula_names, METH_O,
     "formula_names(formula)\n--\n\nThe names a formula would take as parameters, in order."},
    {"custom_elements", custom_elements, METH_NOARGS,
     "custom_elements()\n--\n\nThe definitions, by code: dicts of code, formula, parameters."},
    {"describe", describe, METH_O,
     "describe(circuit)\n--\n\nNames, units, bounds (lower, upper), values and custom codes of a "
     "circuit."},
    {"impedance", fastcall(impedance), METH_FASTCALL | METH_KEYWORDS,
     "impedance(circuit, values, frequencies)\n--\n\nThe impedance at each frequency (Hz)."},
    {"derivatives", fastcall(derivatives), METH_FASTCALL | METH_KEYWORDS,
     "derivatives(circuit, values, frequencies)\n--\n\ndZ/dp at each frequency, row by row "
     "(exact for custom elements)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace kelvara::py
