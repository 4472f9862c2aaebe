#include <array>

#include "elements/element_formulas.hpp"
#include "elements/vector_math.hpp"
#include "support/cpu_features.hpp"

namespace kelvara {
namespace {

using BlockFormula = void (*)(const double*, std::span<const double>, double*, double*);

// The formula of kind K point by point; K is a constant, so the switch folds.
template <Kind K>
[[gnu::always_inline]] inline void each_point(const double* p, std::span<const double> omegas,
                                              double* re, double* im) {
  for (std::size_t i = 0; i < omegas.size(); ++i) {
    const Complex z = impedance_formula(K, p, omegas[i]);
    re[i] = z.real();
    im[i] = z.imag();
  }
}

// 1 / (q s^alpha) with the powers first and the arithmetic in a second loop
// the compiler can vectorise; points off the fast path (omega 0, inf, NaN)
// are redone with the general formula.
[[gnu::always_inline]] inline void cpe_block(const double* p, std::span<const double> omegas,
                                             double* re, double* im) {
  const double q = p[0], alpha = p[1];
  if (alpha == 1.0 || alpha == 0.5 || alpha == 0.0) return each_point<Kind::Cpe>(p, omegas, re, im);
  const RightAngleTurn turn = right_angle_turn(alpha);
  const std::size_t n = omegas.size();
  std::array<double, Element::kBlockPoints> w, m;
  for (std::size_t i = 0; i < n; ++i) w[i] = std::fabs(omegas[i]);
  vector_math::pow_each(w.data(), alpha, m.data(), n);
  for (std::size_t i = 0; i < n; ++i) {
    const Complex z = crecip(cscale(cpow_imaginary(omegas[i], turn, m[i]), q));
    re[i] = z.real();
    im[i] = z.imag();
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!is_imaginary_axis(jomega(omegas[i]))) {
      const Complex z = impedance_formula(Kind::Cpe, p, omegas[i]);
      re[i] = z.real();
      im[i] = z.imag();
    }
  }
}

// Wo and Ws: x = sqrt(s tau) and tanh(x) as csqrt and ctanh compute them
// where s tau = j y lies on the imaginary axis (x = m (1 +- j), m = sqrt(|y|/2)),
// with the hyperbolic and circular functions of the block taken together;
// other points are redone with the general formula.
template <Kind K>
[[gnu::always_inline]] inline void finite_diffusion_block(const double* p,
                                                          std::span<const double> omegas,
                                                          double* re, double* im) {
  const double z0 = p[0], tau = p[1];
  const std::size_t n = omegas.size();
  std::array<double, Element::kBlockPoints> m, two_a, two_b, sh, ch, sn, cs;
  for (std::size_t i = 0; i < n; ++i) {
    const double y = omegas[i] * tau;
    m[i] = std::sqrt(std::fabs(y) / 2.0);
    // Where tanh saturates the functions are not needed; 0 keeps the vector
    // calls off their slow overflow and huge-argument paths. (y is finite and
    // non-zero wherever the result is kept, so y < 0 is its sign.)
    const double doubled = m[i] + m[i];
    two_a[i] = m[i] > kTanhSaturation ? 0.0 : doubled;
    two_b[i] = y < 0.0 ? -two_a[i] : two_a[i];
  }
  vector_math::sinh_cosh_each(two_a.data(), sh.data(), ch.data(), n);
  vector_math::sin_cos_each(two_b.data(), sn.data(), cs.data(), n);
  for (std::size_t i = 0; i < n; ++i) {
    const double d = ch[i] + cs[i], t_re = sh[i] / d, t_im = sn[i] / d;
    const bool saturated = m[i] > kTanhSaturation;
    const Complex x{m[i], omegas[i] * tau < 0.0 ? -m[i] : m[i]};
    const Complex t{saturated ? 1.0 : t_re, saturated ? 0.0 : t_im};
    const Complex z = K == Kind::Wo ? real_over(z0, cmul(x, t)) : cdiv(cscale(t, z0), x);
    re[i] = z.real();
    im[i] = z.imag();
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!is_imaginary_axis(cscale(jomega(omegas[i]), tau))) {
      const Complex z = impedance_formula(K, p, omegas[i]);
      re[i] = z.real();
      im[i] = z.imag();
    }
  }
}

// Every formula compiled twice, for the baseline and for AVX2
// (support/cpu_features.hpp): the same bits, wider loops.
template <BlockFormula F>
struct Copies {
  static void baseline(const double* p, std::span<const double> omegas, double* re, double* im) {
    F(p, omegas, re, im);
  }
  [[gnu::target("avx2")]] static void avx2(const double* p, std::span<const double> omegas,
                                           double* re, double* im) {
    F(p, omegas, re, im);
  }
};

template <bool Avx2, BlockFormula F>
constexpr BlockFormula kCopy = Avx2 ? &Copies<F>::avx2 : &Copies<F>::baseline;

template <bool Avx2>
constexpr std::array<BlockFormula, kKindCount> kBlockFormulas = {
    kCopy<Avx2, each_point<Kind::R>>,
    kCopy<Avx2, each_point<Kind::C>>,
    kCopy<Avx2, each_point<Kind::L>>,
    kCopy<Avx2, each_point<Kind::La>>,
    kCopy<Avx2, cpe_block>,
    kCopy<Avx2, each_point<Kind::W>>,
    kCopy<Avx2, finite_diffusion_block<Kind::Wo>>,
    kCopy<Avx2, finite_diffusion_block<Kind::Ws>>,
    kCopy<Avx2, each_point<Kind::G>>,
    kCopy<Avx2, each_point<Kind::Gs>>,
    kCopy<Avx2, each_point<Kind::K>>,
    kCopy<Avx2, each_point<Kind::Zarc>>,
    kCopy<Avx2, each_point<Kind::Tlmq>>,
    kCopy<Avx2, each_point<Kind::T>>,
};

}  // namespace

void Element::impedance_block(Kind kind, const double* p, std::span<const double> omegas,
                              double* re, double* im) {
  if (omegas.size() > kBlockPoints) invariant_failed("Element::impedance_block: block too long");
  if (kind == Kind::Custom)
    invariant_failed("Element::impedance_block: a custom kind needs its definition");
  const auto& formulas = cpu_has_avx2() ? kBlockFormulas<true> : kBlockFormulas<false>;
  formulas[static_cast<int>(kind)](p, omegas, re, im);
}

}  // namespace kelvara
