#pragma once
// Circuit methods defined outside bind_circuit.cpp, one file per concern;
// bind_circuit.cpp lists them all in the class's method table.

#include "python/py.hpp"

namespace kelvara::py {

// circuit_numerics.cpp
PyObject* circuit_residuals(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* circuit_jacobian(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
extern const char* const kResidualsDoc;
extern const char* const kJacobianDoc;

}  // namespace kelvara::py
