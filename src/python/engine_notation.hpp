#pragma once
// kelvara_lab._engine.structure(): the parsed shape of a circuit, so that the
// companion reads notation with kelvara's own parser and nothing else.

#include "python/py.hpp"

namespace kelvara::py {

// structure(circuit): a series list whose items are (kind, label) pairs for
// elements and lists of branches (each a series list) for parallel groups.
PyObject* engine_structure(PyObject* module, PyObject* circuit);

}  // namespace kelvara::py
