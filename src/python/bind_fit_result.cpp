#include "python/bind_fit_result.hpp"

#include <algorithm>
#include <new>

#include "support/text_format.hpp"

namespace kelvara::py {
namespace {

struct FitResultObject {
  PyObject_HEAD FitResultValue value;
};

PyTypeObject* g_type = nullptr;

const FitResultValue& value_of(PyObject* self) {
  return reinterpret_cast<FitResultObject*>(self)->value;
}

void fit_result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<FitResultObject*>(self)->value.~FitResultValue();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* fit_result_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for FitResult");
  return nullptr;
}

// Names may repeat (circuits joined with shared labels): one entry per
// name, holding the last value given for it, at the place of its first.
NamedValues last_value_per_name(const NamedValues& values) {
  NamedValues out;
  for (const auto& [name, value] : values) {
    auto it = std::find_if(out.begin(), out.end(), [&](const auto& e) { return e.first == name; });
    if (it == out.end()) {
      out.emplace_back(name, value);
    } else {
      it->second = value;
    }
  }
  return out;
}

// A fresh dict on every read, so callers cannot change the result.
Ref to_dict(const NamedValues& values) {
  Ref dict = Ref::steal(PyDict_New());
  for (const auto& [name, value] : values) {
    if (PyDict_SetItem(dict.get(), to_python(name).get(), to_python(value).get()) < 0)
      throw ErrorAlreadySet{};
  }
  return dict;
}

PyObject* get_circuit(PyObject* self, void*) {
  return guarded([&] { return wrap_circuit(value_of(self).circuit).release(); });
}
PyObject* get_params(PyObject* self, void*) {
  return guarded([&] { return to_dict(value_of(self).params).release(); });
}
PyObject* get_stderr(PyObject* self, void*) {
  return guarded([&] {
    const auto& errors = value_of(self).stderr_values;
    return errors ? to_dict(*errors).release() : Py_NewRef(Py_None);
  });
}
PyObject* get_success(PyObject* self, void*) { return PyBool_FromLong(value_of(self).success); }
PyObject* get_iterations(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(value_of(self).iterations);
}
PyObject* get_impedance_evals(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(value_of(self).impedance_evals);
}
PyObject* get_cost(PyObject* self, void*) { return PyFloat_FromDouble(value_of(self).cost); }
PyObject* get_chi_square(PyObject* self, void*) {
  return PyFloat_FromDouble(value_of(self).chi_square);
}

PyObject* fit_result_repr_slot(PyObject* self) {
  return guarded([&] { return to_python(fit_result_repr(value_of(self))).release(); });
}

PyGetSetDef kGetSet[] = {
    {"circuit", get_circuit, nullptr, nullptr, nullptr},
    {"params", get_params, nullptr, nullptr, nullptr},
    {"stderr", get_stderr, nullptr, nullptr, nullptr},
    {"success", get_success, nullptr, nullptr, nullptr},
    {"iterations", get_iterations, nullptr, nullptr, nullptr},
    {"impedance_evals", get_impedance_evals, nullptr, nullptr, nullptr},
    {"cost", get_cost, nullptr, nullptr, nullptr},
    {"chi_square", get_chi_square, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

std::string fit_result_repr(const FitResultValue& v) {
  std::string params;
  for (const auto& [name, value] : last_value_per_name(v.params)) {
    params += (params.empty() ? "" : ", ") + debug_quote(name) + ": " + format_debug(value);
  }
  return "FitResult(success=" + std::string(v.success ? "true" : "false") +
         ", iterations=" + std::to_string(v.iterations) +
         ", impedance_evals=" + std::to_string(v.impedance_evals) +
         ", chi_square=" + format_exponent_fixed(v.chi_square, 6) + ", params={" + params + "})";
}

PyTypeObject* fit_result_type() {
  if (g_type) return g_type;
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(fit_result_new)},
      {Py_tp_repr, reinterpret_cast<void*>(fit_result_repr_slot)},
      {Py_tp_dealloc, reinterpret_cast<void*>(fit_result_dealloc)},
      {Py_tp_getset, kGetSet},
      {0, nullptr},
  };
  g_type = create_type("kelvara.FitResult", sizeof(FitResultObject),
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots);
  return g_type;
}

Ref wrap_fit_result(FitResultValue value) {
  PyTypeObject* type = fit_result_type();
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  new (&reinterpret_cast<FitResultObject*>(self.get())->value) FitResultValue(std::move(value));
  return self;
}

}  // namespace kelvara::py
