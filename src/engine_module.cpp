// kelvara_lab._engine: the private native module of kelvara_lab. It links
// the same core library and binding layer as kelvara, and holds the fits
// kelvara's public API has no place for.

#include "python/engine_fit.hpp"
#include "python/py.hpp"

namespace kelvara::py {
namespace {

PyMethodDef kMethods[] = {
    {"fit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_fit_function)),
     METH_FASTCALL | METH_KEYWORDS, kEngineFitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "kelvara_lab._engine", "kelvara_lab's native fitting engine.", 0,
                       kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace kelvara::py

PyMODINIT_FUNC PyInit__engine() {
  return kelvara::py::guarded([] { return PyModule_Create(&kelvara::py::kModule); });
}
