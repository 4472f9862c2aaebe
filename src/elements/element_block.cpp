#include <array>

#include "elements/element_formulas.hpp"

namespace kelvara {
namespace {

using BlockFormula = void (*)(const double*, std::span<const double>, double*, double*);

// The formula of kind K point by point; K is a constant, so the switch folds.
template <Kind K>
void each_point(const double* p, std::span<const double> omegas, double* re, double* im) {
  for (std::size_t i = 0; i < omegas.size(); ++i) {
    const Complex z = impedance_formula(K, p, omegas[i]);
    re[i] = z.real();
    im[i] = z.imag();
  }
}

// 1 / (q s^alpha) with the powers first and the arithmetic in a second loop
// the compiler can vectorise; points off the fast path (omega 0, inf, NaN)
// are redone with the general formula.
void cpe_block(const double* p, std::span<const double> omegas, double* re, double* im) {
  const double q = p[0], alpha = p[1];
  if (alpha == 1.0 || alpha == 0.5 || alpha == 0.0) return each_point<Kind::Cpe>(p, omegas, re, im);
  const RightAngleTurn turn = right_angle_turn(alpha);
  const std::size_t n = omegas.size();
  std::array<double, Element::kBlockPoints> m;
  for (std::size_t i = 0; i < n; ++i) m[i] = std::pow(std::fabs(omegas[i]), alpha);
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

constexpr std::array<BlockFormula, kKindCount> kBlockFormulas = {
    each_point<Kind::R>,  each_point<Kind::C>,  each_point<Kind::L>,    each_point<Kind::La>,
    cpe_block,            each_point<Kind::W>,  each_point<Kind::Wo>,   each_point<Kind::Ws>,
    each_point<Kind::G>,  each_point<Kind::Gs>, each_point<Kind::K>,    each_point<Kind::Zarc>,
    each_point<Kind::Tlmq>, each_point<Kind::T>,
};

}  // namespace

void Element::impedance_block(Kind kind, const double* p, std::span<const double> omegas, double* re,
                              double* im) {
  if (omegas.size() > kBlockPoints) invariant_failed("Element::impedance_block: block too long");
  kBlockFormulas[static_cast<int>(kind)](p, omegas, re, im);
}

}  // namespace kelvara
