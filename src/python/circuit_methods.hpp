#pragma once
// Circuit methods defined outside bind_circuit.cpp, one file per concern;
// bind_circuit.cpp lists them all in the class's method table.

#include <complex>
#include <optional>
#include <string>
#include <vector>

#include "circuit/node.hpp"
#include "python/py.hpp"

namespace kelvara::py {

// circuit_numerics.cpp
PyObject* circuit_residuals(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* circuit_jacobian(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames);
extern const char* const kResidualsDoc;
extern const char* const kJacobianDoc;

// circuit_guess.cpp
std::optional<std::string> optional_path(const char* name, PyObject* obj);  // None or a str
std::vector<double> guess_or_raise(const SeriesList& tree, const std::vector<double>& f,
                                   const std::vector<std::complex<double>>& z,
                                   const std::optional<std::string>& weights);
PyObject* circuit_guess(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* circuit_ml_circuits(PyObject* cls, PyObject* unused);
extern const char* const kGuessDoc;
extern const char* const kMlCircuitsDoc;

// circuit_fit.cpp
PyObject* circuit_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Circuit.fit's docstring, its signature derived from the option table.
const char* fit_doc();

}  // namespace kelvara::py
