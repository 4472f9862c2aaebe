#pragma once
// The initial-guess network, decoded from an EISNN001 weight file.
//
// File layout (little-endian, unpadded; a string is a u32 byte length and
// that many bytes of UTF-8):
//   "EISNN001"
//   u32 M, then M x (key string, value string)        metadata
//   u32 T, then T x tensor record:
//     name string, u8 encoding, u8 rank, rank x u32 dims (outermost first),
//     data of N = max(1, product of dims) elements:
//       encoding 0: N x binary32
//       encoding 1: N x binary16
//       encoding 2: binary32 scale s, then N x int8 q   (value s * q)
//   anything after the last tensor is ignored.
//
// The network: the spectrum is reduced to a characteristic impedance R_s and
// angular frequency w_s ("reactive_centroid"), resampled onto a log-frequency
// grid as three channels (log |Z| / R_s, unwrapped phase, log w / w_s), run
// through a 1-D residual convolution stack with group norm and GELU, pooled
// (mean and max per channel), and mapped by a three-layer perceptron to
// normalised parameters, which are de-normalised and scaled back with R_s
// and w_s.

#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "nn/nn_error.hpp"

namespace kelvara {

struct Tensor {
  std::vector<std::uint32_t> shape;
  std::vector<double> data;
};

// How one output is scaled back: value = w_s^(frequency_power + alpha_power
// * alpha) * (raw * R_s^resistance_power), alpha being output alpha_index.
struct Scaling {
  double resistance_power;
  double frequency_power;
  double alpha_power;
  std::int32_t alpha_index;  // negative: none
};

struct GuesserFeatures {
  std::vector<double> input;  // 3 channels x n_grid, channel-major
  std::array<double, 2> extras;
  double r_s;
  double omega_s;
};

struct Guesser {
  std::string circuit;
  std::vector<std::string> param_names;
  std::vector<std::size_t> dilations;
  std::vector<double> target_mean;
  std::vector<double> target_std;
  std::vector<bool> log_params;
  std::vector<Scaling> scaling;
  std::unordered_map<std::string, Tensor> tensors;
  std::size_t n_grid = 0;
  std::size_t channels = 0;
  std::size_t kernel = 0;
  std::size_t groups = 0;
  double alpha_min = 0.0;
  double alpha_max = 0.0;

  static NnResult<Guesser> from_bytes(std::span<const std::uint8_t> bytes);

  NnResult<const Tensor*> tensor(const std::string& name) const;

  GuesserFeatures features(std::span<const double> f,
                           std::span<const std::complex<double>> z) const;
  NnResult<std::vector<double>> conv1d(std::span<const double> x, std::size_t in_channels,
                                       std::string_view name, std::size_t dilation) const;
  std::optional<NnError> group_norm(std::vector<double>& x, std::string_view name) const;
  NnResult<std::vector<double>> linear(std::span<const double> x, std::string_view name) const;

  // P starting values in param_names order.
  NnResult<std::vector<double>> predict(std::span<const double> f,
                                        std::span<const std::complex<double>> z) const;
};

// Piecewise-linear interpolation on ascending xs; edge values outside, and
// repeated xs never divide by zero.
double interpolate(std::span<const double> xs, std::span<const double> ys, double x);

// binary16 bits to a double, arithmetically.
double decode_half(std::uint16_t bits);

}  // namespace kelvara
