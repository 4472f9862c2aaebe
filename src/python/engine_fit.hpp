#pragma once
// kelvara_lab._engine.fit(): the engine's fit (held parameters, the user's
// box, the caller's starts, the search) for kelvara_lab's workflow layer.

#include "python/py.hpp"

namespace kelvara::py {

extern const char* const kEngineFitDoc;

PyObject* engine_fit_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace kelvara::py
