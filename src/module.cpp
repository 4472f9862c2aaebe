// The kelvara extension module: creates the module object and registers its
// members in a fixed order.

#include "python/bind_circuit.hpp"
#include "python/bind_element.hpp"
#include "python/bind_fit_result.hpp"
#include "python/bind_series_parallel.hpp"
#include "python/numpy_array.hpp"
#include "python/py.hpp"

namespace kelvara::py {
namespace {

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "kelvara", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

// Classes and functions are process-wide: the module object is made once and
// handed out again on re-import, from the interpreter that first made it.
PyObject* g_module = nullptr;
std::int64_t g_interpreter = -1;

void add(PyObject* module, const char* name, PyObject* value) {
  if (PyModule_AddObjectRef(module, name, value) < 0) throw ErrorAlreadySet{};
}

void add_class(PyObject* module, const char* name, PyTypeObject* (*create)()) {
  PyTypeObject* type = nullptr;
  try {
    type = create();
  } catch (const ErrorAlreadySet&) {
    raise_chained(PyExc_RuntimeError,
                  std::string("An error occurred while initializing class ") + name);
  }
  add(module, name, reinterpret_cast<PyObject*>(type));
}

PyObject* create_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (g_module) {
    if (interpreter != g_interpreter) {
      raise(PyExc_ImportError,
            "kelvara does not support sub-interpreters: it was first imported by another one");
    }
    return Py_NewRef(g_module);
  }
  import_numpy();
  Ref module = Ref::steal(PyModule_Create(&kModule));
  add_class(module.get(), "Element", element_type);
  add_class(module.get(), "Circuit", circuit_type);
  add_class(module.get(), "FitResult", fit_result_type);
  Ref name = Ref::steal(PyModule_GetNameObject(module.get()));
  add(module.get(), "Series", make_series_function(name.get()).get());
  add(module.get(), "Parallel", make_parallel_function(name.get()).get());
  PyObject* element = reinterpret_cast<PyObject*>(element_type());
  for (const char* kind :
       {"R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T"}) {
    add(module.get(), kind, Ref::steal(PyObject_GetAttrString(element, kind)).get());
  }
  g_module = module.release();
  g_interpreter = interpreter;
  return Py_NewRef(g_module);
}

}  // namespace
}  // namespace kelvara::py

PyMODINIT_FUNC PyInit_kelvara() {
  return kelvara::py::guarded([] { return kelvara::py::create_module(); });
}
