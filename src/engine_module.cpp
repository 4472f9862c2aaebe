// kelvara_lab._engine: the private native module of kelvara_lab. It links
// the same core library and binding layer as kelvara, and holds the fits
// kelvara's public API has no place for.

#include <string>
#include <vector>

#include "models/registry.hpp"
#include "python/bind_custom_elements.hpp"
#include "python/engine_fit.hpp"
#include "python/engine_notation.hpp"
#include "python/engine_statistics.hpp"
#include "python/py.hpp"

namespace kelvara::py {
namespace {

// The reference circuits, key -> notation, in registry order: the one table
// kelvara itself builds them from.
PyObject* registry(PyObject*, PyObject*) {
  return guarded([] {
    Ref out = Ref::steal(PyDict_New());
    for (const models::Model& model : models::all()) {
      Ref notation = to_python(model.circuit);
      if (PyDict_SetItemString(out.get(), std::string(model.key).c_str(), notation.get()) < 0)
        throw ErrorAlreadySet{};
    }
    return out.release();
  });
}

// The engine's own entries, then the custom elements' (bind_custom_elements.cpp).
PyMethodDef kEngineMethods[] = {
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_fit_function)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},  // documented from the option table at import
    {"fit_options", engine_fit_options, METH_NOARGS,
     "fit_options()\n--\n\nThe fit options: name, default, owning method and rule, in "
     "Circuit.fit's order."},
    {"statistics", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_statistics)),
     METH_FASTCALL | METH_KEYWORDS,
     "statistics(circuit, frequencies, impedances, values, chi_square, weight)\n--\n\n"
     "Standard errors (None when J^T J is singular) and covariance of every parameter at "
     "`values`,\nwith the residual variance chi_square / (2N - n)."},
    {"structure", engine_structure, METH_O,
     "structure(circuit)\n--\n\nThe parsed circuit: a series list of (kind, label) pairs "
     "and parallel groups,\neach a list of branches that are series lists. Raises ValueError "
     "with kelvara's report\nfor bad notation."},
    {"registry", registry, METH_NOARGS,
     "registry()\n--\n\nThe reference circuits: key -> notation, in registry order."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef* all_methods() {
  static std::vector<PyMethodDef> methods = [] {
    std::vector<PyMethodDef> out;
    for (PyMethodDef* m = kEngineMethods; m->ml_name; ++m) out.push_back(*m);
    for (PyMethodDef* m = kCustomElementMethods; m->ml_name; ++m) out.push_back(*m);
    out.push_back({nullptr, nullptr, 0, nullptr});
    return out;
  }();
  return methods.data();
}

PyModuleDef kModule = {PyModuleDef_HEAD_INIT,
                       "kelvara_lab._engine",
                       "kelvara_lab's native fitting engine.",
                       0,
                       nullptr,  // all_methods(), set at import
                       nullptr,
                       nullptr,
                       nullptr,
                       nullptr};

}  // namespace
}  // namespace kelvara::py

PyMODINIT_FUNC PyInit__engine() {
  return kelvara::py::guarded([] {
    kelvara::py::kEngineMethods[0].ml_doc = kelvara::py::engine_fit_doc();
    kelvara::py::kModule.m_methods = kelvara::py::all_methods();
    return PyModule_Create(&kelvara::py::kModule);
  });
}
