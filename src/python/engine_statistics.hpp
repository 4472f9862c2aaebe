#pragma once
// kelvara_lab._engine.statistics(): standard errors and covariance of any
// fitted values, from the core's free-parameter statistics, for fits the
// engine did not run itself (kelvara's own methods).

#include "python/py.hpp"

namespace kelvara::py {

PyObject* engine_statistics(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace kelvara::py
