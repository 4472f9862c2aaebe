#pragma once
// Measured spectra from Python: two sequences (frequencies in Hz, complex
// impedances in ohm) or one dataframe-like object with Battery Data Format
// column names, passed alone.

#include <complex>
#include <vector>

#include "python/py.hpp"

namespace kelvara::py {

struct MeasuredSpectrum {
  std::vector<double> frequencies;
  std::vector<std::complex<double>> impedances;
};

// `impedances` null or None selects the dataframe shape, in which rows with
// a frequency that is not above zero are dropped. Raises ValueError or the
// conversions' TypeError on bad input.
MeasuredSpectrum read_spectrum(PyObject* frequencies, PyObject* impedances);

}  // namespace kelvara::py
