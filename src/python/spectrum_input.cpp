#include "python/spectrum_input.hpp"

#include <cmath>
#include <optional>
#include <string>

#include "python/frame_column.hpp"

namespace kelvara::py {
namespace {

struct Quantity {
  const char* long_name;
  const char* short_name;

  // "\"Frequency / Hz\" or \"frequency_hertz\""
  std::string names() const {
    return "\"" + std::string(long_name) + "\" or \"" + std::string(short_name) + "\"";
  }
  std::optional<std::vector<double>> read(PyObject* frame) const {
    return frame_column(frame, long_name, short_name);
  }
};

constexpr Quantity kFrequency{"Frequency / Hz", "frequency_hertz"};
constexpr Quantity kReal{"Real Impedance / ohm", "real_impedance_ohm"};
constexpr Quantity kImaginary{"Imaginary Impedance / ohm", "imaginary_impedance_ohm"};
constexpr Quantity kModulus{"Absolute Impedance / ohm", "absolute_impedance_ohm"};
constexpr Quantity kPhase{"Phase / deg", "phase_degree"};

constexpr double kRadiansPerDegree = 0.017453292519943295;

MeasuredSpectrum from_frame(PyObject* frame) {
  auto f = kFrequency.read(frame);
  if (!f) {
    raise(PyExc_ValueError, "expected a dataframe with a " + kFrequency.names() +
                                " column, or frequencies and impedances as two arguments");
  }
  // All four are read, so a non-numeric column is reported even when unused.
  const auto re = kReal.read(frame);
  const auto im = kImaginary.read(frame);
  const auto modulus = kModulus.read(frame);
  const auto phase = kPhase.read(frame);

  std::vector<std::complex<double>> z;
  const Quantity* pair[2];
  if (re && im) {
    if (re->size() != im->size())
      raise(PyExc_ValueError, "real and imaginary impedance columns must have the same length");
    for (std::size_t i = 0; i < re->size(); ++i) z.emplace_back((*re)[i], (*im)[i]);
    pair[0] = &kReal, pair[1] = &kImaginary;
  } else if (modulus && phase) {
    if (modulus->size() != phase->size()) {
      raise(PyExc_ValueError, "absolute impedance and phase columns must have the same length");
    }
    for (std::size_t i = 0; i < modulus->size(); ++i) {
      const double phi = (*phase)[i] * kRadiansPerDegree;
      z.emplace_back((*modulus)[i] * std::cos(phi), (*modulus)[i] * std::sin(phi));
    }
    pair[0] = &kModulus, pair[1] = &kPhase;
  } else {
    raise(PyExc_ValueError, "no impedance columns: expected " + kReal.names() + " together with " +
                                kImaginary.names() + ", or " + kModulus.names() +
                                " together with " + kPhase.names());
  }
  if (f->size() != z.size()) {
    raise(PyExc_ValueError, "frequency column has " + std::to_string(f->size()) + " rows but " +
                                pair[0]->names() + " and " + pair[1]->names() + " have " +
                                std::to_string(z.size()));
  }
  MeasuredSpectrum out;
  for (std::size_t i = 0; i < z.size(); ++i) {
    if ((*f)[i] > 0.0) {  // drops zero, negative and NaN frequencies
      out.frequencies.push_back((*f)[i]);
      out.impedances.push_back(z[i]);
    }
  }
  if (out.frequencies.empty()) {
    raise(PyExc_ValueError, "no measured points: every row of the " + kFrequency.names() +
                                " column is zero or negative");
  }
  return out;
}

}  // namespace

MeasuredSpectrum read_spectrum(PyObject* frequencies, PyObject* impedances) {
  if (!impedances || impedances == Py_None) return from_frame(frequencies);
  MeasuredSpectrum out{to_double_vector(frequencies), to_complex_vector(impedances)};
  if (out.frequencies.size() != out.impedances.size()) {
    raise(PyExc_ValueError, "frequencies and impedances must have the same length");
  }
  return out;
}

}  // namespace kelvara::py
