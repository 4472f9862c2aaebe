#pragma once
// The module functions Series(parts) and Parallel(parts), which assemble a
// Circuit from element objects and other circuits.

#include "python/py.hpp"

namespace kelvara::py {

// New function objects, owned by the caller, reporting `module_name`.
Ref make_series_function(PyObject* module_name);
Ref make_parallel_function(PyObject* module_name);

}  // namespace kelvara::py
