#pragma once
// The NumPy arrays kelvara returns. Only numpy_array.cpp sees NumPy's C API.

#include <complex>
#include <cstddef>
#include <span>

#include "python/py.hpp"

namespace kelvara::py {

// Loads NumPy's C API; called once while the module is imported.
void import_numpy();

// A new one-dimensional complex128 array of n entries that owns its buffer;
// `data` receives the buffer, to be filled before the array is shared.
Ref new_complex_array(std::size_t n, std::complex<double>*& data);

// A new one-dimensional float64 array holding a copy of `values`.
Ref new_real_array(std::span<const double> values);

}  // namespace kelvara::py
