// The guesser's forward pass: features, convolution stack, pooling, head,
// de-normalisation and scaling, all in 64-bit arithmetic in a fixed order.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "nn/guesser.hpp"
#include "support/cpu_features.hpp"
#include "support/total_order.hpp"

namespace kelvara {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kTau = 6.283185307179586;

NnError shape_mismatch(std::string name, std::size_t got, std::size_t expected) {
  return {NnError::Kind::ShapeMismatch, std::move(name), got, expected};
}

// A layer's "w.{name}.weight" and "w.{name}.bias" tensors.
struct Layer {
  std::string weight_name, bias_name;
  const Tensor* weight;
  const Tensor* bias;
};

NnResult<Layer> layer(const Guesser& g, std::string_view name) {
  Layer l{"w." + std::string(name) + ".weight", "w." + std::string(name) + ".bias", nullptr,
          nullptr};
  auto w = g.tensor(l.weight_name);
  if (auto* e = std::get_if<NnError>(&w)) return *e;
  auto b = g.tensor(l.bias_name);
  if (auto* e = std::get_if<NnError>(&b)) return *e;
  l.weight = std::get<const Tensor*>(w);
  l.bias = std::get<const Tensor*>(b);
  return l;
}

double gelu(double x) {
  return 0.5 * x * (1.0 + std::tanh(0.7978845608028654 * (x + 0.044715 * x * x * x)));
}

void gelu_in_place(std::vector<double>& x) {
  for (double& v : x) v = gelu(v);
}

// R_s and w_s: the centroid of log |Z| and log w weighted by how capacitive
// each point is; without capacitive points, the upper median |Z| and the
// geometric mean frequency.
std::pair<double, double> reactive_centroid(std::span<const double> f,
                                            std::span<const std::complex<double>> z) {
  double w_sum = 0.0, a = 0.0, b = 0.0;
  for (std::size_t i = 0; i < std::min(f.size(), z.size()); ++i) {
    const double modulus = std::hypot(z[i].real(), z[i].imag());
    if (!(f[i] > 0.0) || !(modulus > 0.0)) continue;
    const double w = std::fmax(-z[i].imag() / modulus, 0.0);
    w_sum += w;
    a += w * std::log(modulus);
    b += w * std::log(kTau * f[i]);
  }
  if (w_sum >= 1e-9) return {std::exp(a / w_sum), std::exp(b / w_sum)};

  double log_sum = 0.0;
  for (double fi : f) log_sum += std::log(kTau * fi);
  const double omega_s = std::exp(log_sum / double(f.size()));
  std::vector<double> moduli;
  for (const auto& zi : z) moduli.push_back(std::hypot(zi.real(), zi.imag()));
  std::sort(moduli.begin(), moduli.end(),
            [](double x, double y) { return total_order_key(x) < total_order_key(y); });
  const double r_s =
      moduli.empty() ? std::numeric_limits<double>::quiet_NaN() : moduli[moduli.size() / 2];
  return {r_s, omega_s};
}

}  // namespace

double interpolate(std::span<const double> xs, std::span<const double> ys, double x) {
  if (x <= xs.front()) return ys.front();
  if (x >= xs.back()) return ys.back();
  if (xs.size() < 2) return ys.front();
  // A NaN x, or NaN among the xs, can put the search at either end; clamped
  // as the reference network does, NaN then propagates instead of reading
  // out of range.
  const std::size_t hi = std::clamp<std::size_t>(
      std::size_t(std::upper_bound(xs.begin(), xs.end(), x) - xs.begin()), 1, xs.size() - 1);
  const std::size_t lo = hi - 1;
  if (xs[hi] == xs[lo]) return ys[lo];
  return ys[lo] + (x - xs[lo]) * (ys[hi] - ys[lo]) / (xs[hi] - xs[lo]);
}

GuesserFeatures Guesser::features(std::span<const double> f,
                                  std::span<const std::complex<double>> z) const {
  const auto [r_s, omega_s] = reactive_centroid(f, z);
  const std::size_t n = std::min(f.size(), z.size());
  if (n == 0) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {std::vector<double>(3 * n_grid, nan), {nan, nan}, r_s, omega_s};
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
    return total_order_key(f[i]) < total_order_key(f[j]);
  });

  std::vector<double> lf(n), lm(n), ph(n);
  for (std::size_t k = 0; k < n; ++k) {
    const auto zi = z[order[k]];
    lf[k] = std::log10(f[order[k]]);
    lm[k] = std::log10(std::hypot(zi.real(), zi.imag()));
    const double raw = std::atan2(zi.imag(), zi.real());
    if (k == 0) {
      ph[k] = raw;
      continue;
    }
    // Unwrap: take the step to the previous phase modulo 2 pi into [-pi, pi).
    const double d = raw - ph[k - 1];
    double step = d - kTau * std::floor((d + kPi) / kTau);
    if (step == -kPi && raw > ph[k - 1]) step = kPi;
    ph[k] = ph[k - 1] + step;
  }

  const std::size_t g = n_grid;
  const double lo = lf.front(), hi = lf.back();
  const double step = g > 1 ? (hi - lo) / double(g - 1) : 0.0;
  GuesserFeatures out{
      std::vector<double>(3 * g), {(hi - lo) * 0.125, std::log10(double(n)) * 0.5}, r_s, omega_s};
  const double log_r_s = std::log10(r_s), log_f_s = std::log10(omega_s / kTau);
  for (std::size_t j = 0; j < g; ++j) {
    const double x = lo + step * double(j);
    out.input[j] = interpolate(lf, lm, x) - log_r_s;
    out.input[g + j] = interpolate(lf, ph, x) / 1.5707963267948966;
    out.input[2 * g + j] = (x - log_f_s) * 0.25;
  }
  return out;
}

namespace {

constexpr std::size_t kDroppedTap = std::size_t(-1);

struct ConvShape {
  std::size_t in_channels, kernel;
  const std::size_t* offsets;  // per tap, into a padded row; kDroppedTap for none
  std::size_t row, grid;
};

// Outputs o .. o+O-1 of a convolution over zero-padded rows. Runs of kRun
// outputs per channel stay in registers across every input and tap (O of
// them give the adder independent chains); each output's sum keeps the
// order bias, then input by input, tap by tap.
template <std::size_t O>
[[gnu::always_inline]] inline void conv_outputs(const ConvShape& s, const double* w,
                                                const double* b, const double* padded,
                                                std::size_t o, double* y) {
  constexpr std::size_t kRun = 8;
  const std::size_t taps = s.in_channels * s.kernel;
  auto tap_sum = [&](std::size_t c, std::size_t p) {
    double acc = b[o + c];
    for (std::size_t i = 0; i < s.in_channels; ++i) {
      for (std::size_t t = 0; t < s.kernel; ++t) {
        const double v = w[(o + c) * taps + i * s.kernel + t];
        if (v != 0.0 && s.offsets[t] != kDroppedTap)
          acc += v * padded[i * s.row + p + s.offsets[t]];
      }
    }
    return acc;
  };
  // Four lanes written out as a vector type: elementwise IEEE operations, so
  // the same bits as scalar code; the AVX2 copy makes each one instruction.
  using Lanes = double __attribute__((vector_size(32)));
  constexpr std::size_t kVectors = kRun / 4;
  std::size_t p0 = 0;
  for (; p0 + kRun <= s.grid; p0 += kRun) {
    Lanes acc[O][kVectors];
    for (std::size_t c = 0; c < O; ++c)
      for (Lanes& a : acc[c]) a = Lanes{} + b[o + c];
    for (std::size_t i = 0; i < s.in_channels; ++i) {
      const double* xi = padded + i * s.row + p0;
      for (std::size_t t = 0; t < s.kernel; ++t) {
        if (s.offsets[t] == kDroppedTap) continue;
        const double* xs = xi + s.offsets[t];
        Lanes x[kVectors];
        for (std::size_t q = 0; q < kVectors; ++q) std::memcpy(&x[q], xs + 4 * q, sizeof x[q]);
        for (std::size_t c = 0; c < O; ++c) {
          const double v = w[(o + c) * taps + i * s.kernel + t];
          if (v == 0.0) continue;  // a pruned tap adds nothing, not even a NaN
          for (std::size_t q = 0; q < kVectors; ++q) acc[c][q] += v * x[q];
        }
      }
    }
    for (std::size_t c = 0; c < O; ++c)
      std::memcpy(y + (o + c) * s.grid + p0, acc[c], sizeof acc[c]);
  }
  for (std::size_t p = p0; p < s.grid; ++p) {
    for (std::size_t c = 0; c < O; ++c) y[(o + c) * s.grid + p] = tap_sum(c, p);
  }
}

// Every output channel, compiled twice, for AVX2 and for the baseline
// (support/cpu_features.hpp).
[[gnu::always_inline]] inline void conv_channels(const ConvShape& s, std::size_t out_channels,
                                                 const double* w, const double* b,
                                                 const double* padded, double* y) {
  std::size_t o = 0;
  for (; o + 4 <= out_channels; o += 4) conv_outputs<4>(s, w, b, padded, o, y);
  for (; o < out_channels; ++o) conv_outputs<1>(s, w, b, padded, o, y);
}

[[gnu::target("avx2")]] void conv_all_avx2(const ConvShape& s, std::size_t out_channels,
                                           const double* w, const double* b, const double* padded,
                                           double* y) {
  conv_channels(s, out_channels, w, b, padded, y);
}

void conv_all_baseline(const ConvShape& s, std::size_t out_channels, const double* w,
                       const double* b, const double* padded, double* y) {
  conv_channels(s, out_channels, w, b, padded, y);
}

void conv_all(const ConvShape& s, std::size_t out_channels, const double* w, const double* b,
              const double* padded, double* y) {
  (cpu_has_avx2() ? conv_all_avx2 : conv_all_baseline)(s, out_channels, w, b, padded, y);
}

}  // namespace

NnResult<std::vector<double>> Guesser::conv1d(std::span<const double> x, std::size_t in_channels,
                                              std::string_view name, std::size_t dilation) const {
  auto found = layer(*this, name);
  if (auto* e = std::get_if<NnError>(&found)) return *e;
  const auto& [w_name, b_name, w_ptr, b_ptr] = std::get<Layer>(found);
  const Tensor &w = *w_ptr, &b = *b_ptr;
  const std::size_t g = n_grid, k = kernel;
  if (w.shape.empty()) return shape_mismatch(w_name, w.data.size(), in_channels * k);
  const std::size_t out_channels = w.shape[0];
  // Every convolution produces the network's channels; a wider forged one
  // would size its output from the file (a zero kernel needs no weights).
  if (out_channels > channels) return shape_mismatch(w_name, out_channels, channels);
  // Laid out [out][in][tap]: a tensor of another kernel than the file's
  // "kernel" would be read with the wrong stride.
  const bool laid_out = w.shape.size() == 3 && w.shape[1] == in_channels && w.shape[2] == k;
  if (!laid_out || w.data.size() < out_channels * in_channels * k) {
    return shape_mismatch(w_name, w.data.size(), out_channels * in_channels * k);
  }
  if (b.data.size() < out_channels) return shape_mismatch(b_name, b.data.size(), out_channels);
  if (x.size() < in_channels * g) return shape_mismatch(w_name, x.size(), in_channels * g);

  // x with zeros on both sides, so that every tap reads in range:
  // y[o][p] = b[o] + sum over i, t of w[o][i][t] * padded[i][p + offset[t]].
  // A tap shifted by a whole grid or more reads only zeros and is dropped,
  // so the margins never exceed the grid whatever the file's dilation.
  const std::size_t reach = k == 0 ? 0 : (k - 1) * dilation, pad = reach / 2;
  const std::size_t left = std::min(pad, g), right = std::min(reach - pad, g);
  const std::size_t row = left + g + right;
  std::vector<std::size_t> offsets(k, kDroppedTap);
  for (std::size_t t = 0; t < k; ++t) {
    const std::size_t at = t * dilation;  // the tap reads x[p + at - pad]
    if (at + g > pad && at < pad + g) offsets[t] = left + at - pad;
  }
  std::vector<double> padded(in_channels * row, 0.0);
  for (std::size_t i = 0; i < in_channels; ++i)
    std::copy_n(x.data() + i * g, g, padded.data() + i * row + left);

  std::vector<double> y(out_channels * g);
  const ConvShape shape{in_channels, k, offsets.data(), row, g};
  conv_all(shape, out_channels, w.data.data(), b.data.data(), padded.data(), y.data());
  return y;
}

std::optional<NnError> Guesser::group_norm(std::vector<double>& x, std::string_view name) const {
  auto found = layer(*this, name);
  if (auto* e = std::get_if<NnError>(&found)) return *e;
  const auto& [w_name, b_name, w_ptr, b_ptr] = std::get<Layer>(found);
  const auto& gamma = w_ptr->data;
  const auto& beta = b_ptr->data;
  const std::size_t g = n_grid, cpg = channels / groups, m = cpg * g;
  if (m == 0) return std::nullopt;
  if (gamma.size() < channels) return shape_mismatch(w_name, gamma.size(), channels);
  if (beta.size() < channels) return shape_mismatch(b_name, beta.size(), channels);
  if (x.size() < groups * m) return shape_mismatch(w_name, x.size() / g, channels);
  for (std::size_t group = 0; group < groups; ++group) {
    double* s = x.data() + group * m;
    double sum = 0.0;
    for (std::size_t j = 0; j < m; ++j) sum += s[j];
    const double mean = sum / double(m);
    double sq = 0.0;
    for (std::size_t j = 0; j < m; ++j) sq += (s[j] - mean) * (s[j] - mean);
    const double inv = 1.0 / std::sqrt(sq / double(m) + 1e-5);
    for (std::size_t j = 0; j < m; ++j) {
      const std::size_t c = j / g + group * cpg;
      s[j] = inv * (s[j] - mean) * gamma[c] + beta[c];
    }
  }
  return std::nullopt;
}

NnResult<std::vector<double>> Guesser::linear(std::span<const double> x,
                                              std::string_view name) const {
  auto found = layer(*this, name);
  if (auto* e = std::get_if<NnError>(&found)) return *e;
  const auto& [w_name, b_name, w_ptr, b_ptr] = std::get<Layer>(found);
  const Tensor &w = *w_ptr, &b = *b_ptr;
  if (w.shape.size() < 2) return shape_mismatch(std::string(name), w.data.size(), x.size());
  const std::size_t out = w.shape[0], in = w.shape[1];
  if (in != x.size()) return shape_mismatch(std::string(name), in, x.size());
  if (w.data.size() < out * in) return shape_mismatch(w_name, w.data.size(), out * in);
  if (b.data.size() < out) return shape_mismatch(b_name, b.data.size(), out);
  std::vector<double> y(out);
  for (std::size_t o = 0; o < out; ++o) {
    double acc = 0.0;
    for (std::size_t i = 0; i < in; ++i) acc += w.data[o * in + i] * x[i];
    y[o] = b.data[o] + acc;
  }
  return y;
}

NnResult<std::vector<double>> Guesser::predict(std::span<const double> f,
                                               std::span<const std::complex<double>> z) const {
  const std::size_t points = std::min(f.size(), z.size());
  if (points < 2) return NnError{NnError::Kind::TooFewPoints, {}, points};
  const GuesserFeatures feat = features(f, z);
  const std::size_t c = channels, g = n_grid;

  auto stem = conv1d(feat.input, 3, "stem", 1);
  if (auto* e = std::get_if<NnError>(&stem)) return *e;
  std::vector<double> x = std::move(std::get<std::vector<double>>(stem));
  // Every block and the pooling read C channels of the activation.
  if (x.size() != c * g)
    return shape_mismatch("w.stem.weight", x.size() / std::max<std::size_t>(g, 1), c);

  for (std::size_t j = 0; j < dilations.size(); ++j) {
    const std::string block = "blocks." + std::to_string(j);
    auto h1 = conv1d(x, c, block + ".conv1", dilations[j]);
    if (auto* e = std::get_if<NnError>(&h1)) return *e;
    std::vector<double> h = std::move(std::get<std::vector<double>>(h1));
    if (auto e = group_norm(h, block + ".norm1")) return *e;
    gelu_in_place(h);
    auto h2 = conv1d(h, c, block + ".conv2", dilations[j]);
    if (auto* e = std::get_if<NnError>(&h2)) return *e;
    h = std::move(std::get<std::vector<double>>(h2));
    if (auto e = group_norm(h, block + ".norm2")) return *e;
    for (std::size_t k = 0; k < std::min(x.size(), h.size()); ++k) x[k] += h[k];
    gelu_in_place(x);
  }

  std::vector<double> pooled(2 * c + 2);
  for (std::size_t ch = 0; ch < c; ++ch) {
    double sum = 0.0, max = -std::numeric_limits<double>::infinity();
    for (std::size_t p = 0; p < g; ++p) {
      const double v = x[ch * g + p];
      sum += v;
      max = std::fmax(max, v);  // NaN ignored
    }
    pooled[ch] = sum / double(g);
    pooled[c + ch] = max;
  }
  pooled[2 * c] = feat.extras[0];
  pooled[2 * c + 1] = feat.extras[1];

  std::vector<double> y = std::move(pooled);
  for (const char* layer : {"head.0", "head.2", "head.4"}) {
    auto next = linear(y, layer);
    if (auto* e = std::get_if<NnError>(&next)) return *e;
    y = std::move(std::get<std::vector<double>>(next));
    if (std::string_view(layer) != "head.4") gelu_in_place(y);
  }

  const std::size_t p = target_mean.size();
  if (y.size() < p) return shape_mismatch("head.4", y.size(), p);
  if (target_std.size() < p) return shape_mismatch("target_std", target_std.size(), p);
  if (log_params.size() < p) return shape_mismatch("log_params", log_params.size(), p);
  std::vector<double> v(p);
  for (std::size_t i = 0; i < p; ++i) {
    const double u = y[i] * target_std[i] + target_mean[i];
    v[i] = log_params[i] ? std::pow(10.0, u) : u;
    if (!log_params[i]) {
      if (v[i] < alpha_min) v[i] = alpha_min;
      if (v[i] > alpha_max) v[i] = alpha_max;
    }
  }
  if (!scaling.empty()) {
    const std::vector<double> w = v;
    for (std::size_t i = 0; i < scaling.size() && i < p; ++i) {
      const Scaling& s = scaling[i];
      const double e = s.alpha_index >= 0 ? s.alpha_power * w[std::size_t(s.alpha_index)] : 0.0;
      v[i] = std::pow(feat.omega_s, s.frequency_power + e) *
             (w[i] * std::pow(feat.r_s, s.resistance_power));
    }
  }
  return v;
}

}  // namespace kelvara
