#pragma once
// Reading one numeric column of a dataframe-like object: anything that
// answers frame[name] with a sequence of numbers (pandas and polars frames,
// a dict of lists).

#include <optional>
#include <vector>

#include "python/py.hpp"

namespace kelvara::py {

// The column under `long_name`, else under `short_name`; nothing when
// neither lookup answers. A column that answers but is not numeric raises
// ValueError 'column "{name}" is not numeric'.
std::optional<std::vector<double>> frame_column(PyObject* frame, const char* long_name,
                                                const char* short_name);

}  // namespace kelvara::py
