#include "elements/vector_math.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

#include "elements/vector_math_x86.hpp"
#include "support/invariant.hpp"

namespace kelvara::vector_math {
namespace {

// Inputs copied into a full block, the tail padded with a harmless value, so
// the kernels can run whole vectors past n.
struct Padded {
  alignas(64) std::array<double, kMaxPoints> v;
  Padded(const double* x, std::size_t n, double pad) {
    if (n > kMaxPoints) invariant_failed("vector_math: block too long");
    std::copy_n(x, n, v.begin());
    std::fill(v.begin() + std::ptrdiff_t(n), v.end(), pad);
  }
};

std::size_t whole_vectors(std::size_t n, std::size_t lanes) {
  return (n + lanes - 1) / lanes * lanes;
}

bool processor_has(Level level) {
#ifdef KELVARA_HAVE_LIBMVEC
  switch (level) {
    case Level::Scalar:
      return true;
    case Level::Avx2:
      return __builtin_cpu_supports("avx2");
    case Level::Avx512:
      return __builtin_cpu_supports("avx512f");
  }
  return false;
#else
  return level == Level::Scalar;
#endif
}

Level best_level() {
  // KELVARA_SCALAR_MATH=1 keeps to the scalar libm everywhere.
  if (const char* v = std::getenv("KELVARA_SCALAR_MATH"); v && *v && *v != '0')
    return Level::Scalar;
  if (processor_has(Level::Avx512)) return Level::Avx512;
  if (processor_has(Level::Avx2)) return Level::Avx2;
  return Level::Scalar;
}

void require(Level level) {
  if (!processor_has(level)) invariant_failed("vector_math: level not available on this processor");
}

}  // namespace

bool level_available(Level level) { return processor_has(level); }

Level active_level() {
  static const Level level = best_level();
  return level;
}

namespace {

using PowKernel = void (*)(const double*, double, double*, std::size_t);
using PairKernel = void (*)(const double*, double*, double*, std::size_t);

#ifdef KELVARA_HAVE_LIBMVEC
constexpr PowKernel kPowAvx2 = x86::pow_avx2, kPowAvx512 = x86::pow_avx512;
constexpr PairKernel kSinhCoshAvx2 = x86::sinh_cosh_avx2, kSinhCoshAvx512 = x86::sinh_cosh_avx512;
constexpr PairKernel kSinCosAvx2 = x86::sin_cos_avx2, kSinCosAvx512 = x86::sin_cos_avx512;
#else
constexpr PowKernel kPowAvx2 = nullptr, kPowAvx512 = nullptr;
constexpr PairKernel kSinhCoshAvx2 = nullptr, kSinhCoshAvx512 = nullptr;
constexpr PairKernel kSinCosAvx2 = nullptr, kSinCosAvx512 = nullptr;
#endif

// Two functions of the same inputs: f and g point by point at the scalar
// level, else the level's kernel over padded whole vectors.
template <class F, class G>
void pair_each_at(Level level, const double* x, double* f_out, double* g_out, std::size_t n, F f,
                  G g, PairKernel avx2, PairKernel avx512) {
  require(level);
  if (level == Level::Scalar) {
    for (std::size_t i = 0; i < n; ++i) {
      f_out[i] = f(x[i]);
      g_out[i] = g(x[i]);
    }
    return;
  }
  const Padded in(x, n, 0.0);
  alignas(64) std::array<double, kMaxPoints> fv, gv;
  if (level == Level::Avx512)
    avx512(in.v.data(), fv.data(), gv.data(), whole_vectors(n, 8));
  else
    avx2(in.v.data(), fv.data(), gv.data(), whole_vectors(n, 4));
  std::copy_n(fv.begin(), n, f_out);
  std::copy_n(gv.begin(), n, g_out);
}

}  // namespace

void pow_each_at(Level level, const double* x, double p, double* out, std::size_t n) {
  require(level);
  if (level == Level::Scalar) {
    for (std::size_t i = 0; i < n; ++i) out[i] = std::pow(x[i], p);
    return;
  }
  const Padded in(x, n, 1.0);
  alignas(64) std::array<double, kMaxPoints> r;
  if (level == Level::Avx512)
    kPowAvx512(in.v.data(), p, r.data(), whole_vectors(n, 8));
  else
    kPowAvx2(in.v.data(), p, r.data(), whole_vectors(n, 4));
  std::copy_n(r.begin(), n, out);
}

void sinh_cosh_each_at(Level level, const double* x, double* sh, double* ch, std::size_t n) {
  pair_each_at(
      level, x, sh, ch, n, [](double v) { return std::sinh(v); },
      [](double v) { return std::cosh(v); }, kSinhCoshAvx2, kSinhCoshAvx512);
}

void sin_cos_each_at(Level level, const double* x, double* s, double* c, std::size_t n) {
  pair_each_at(
      level, x, s, c, n, [](double v) { return std::sin(v); }, [](double v) { return std::cos(v); },
      kSinCosAvx2, kSinCosAvx512);
}

void pow_each(const double* x, double p, double* out, std::size_t n) {
  pow_each_at(active_level(), x, p, out, n);
}

void sinh_cosh_each(const double* x, double* sh, double* ch, std::size_t n) {
  sinh_cosh_each_at(active_level(), x, sh, ch, n);
}

void sin_cos_each(const double* x, double* s, double* c, std::size_t n) {
  sin_cos_each_at(active_level(), x, s, c, n);
}

}  // namespace kelvara::vector_math
