#pragma once
// kelvara_lab._engine.lin_kk(): the Lin-KK test of the core, off the
// interpreter lock; kelvara_lab's validity test builds its report on it.

#include "python/py.hpp"

namespace kelvara::py {

extern const char* const kLinKkDoc;

PyObject* engine_lin_kk(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames);

// lin_kk_capacitive_end(frequencies, impedances): whether the test adds the
// series capacitance by default.
PyObject* engine_lin_kk_capacitive_end(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames);

// lin_kk_constants(): the test's defaults and rules (mu criterion, RC per
// decade, settle counts, max_rc), for the Python layer to read, not retype.
PyObject* engine_lin_kk_constants(PyObject* module, PyObject* unused);

}  // namespace kelvara::py
