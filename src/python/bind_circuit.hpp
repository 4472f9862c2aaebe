#pragma once
// The Python `Circuit` class: an immutable circuit tree plus whether its
// values were given explicitly (which decides whether fitting guesses).

#include "circuit/node.hpp"
#include "python/py.hpp"

namespace kelvara::py {

struct CircuitValue {
  SeriesList tree;
  bool explicit_values = false;
};

PyTypeObject* circuit_type();

bool is_circuit(PyObject* obj);
const CircuitValue& circuit_value(PyObject* obj);  // obj must pass is_circuit

// A new Circuit object owning `value`.
Ref wrap_circuit(CircuitValue value);

}  // namespace kelvara::py
