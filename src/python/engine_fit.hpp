#pragma once
// kelvara_lab._engine.fit(): the engine's fit (held parameters, the user's
// box, the caller's starts, the search) for kelvara_lab's workflow layer.

#include "python/py.hpp"

namespace kelvara::py {

// The docstring, its signature's defaults taken from the option table.
const char* engine_fit_doc();

// fit_options(): the option table as a list of dicts (name, default, owner,
// rule), for the companion and the tests to check themselves against.
PyObject* engine_fit_options(PyObject* module, PyObject* unused);
// engine_options(): the rows only the engine's fit() takes, the same way.
PyObject* engine_own_options(PyObject* module, PyObject* unused);

PyObject* engine_fit_function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

}  // namespace kelvara::py
