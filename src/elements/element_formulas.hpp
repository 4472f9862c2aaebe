#pragma once
// The impedance formula of every kind, inline so that Element::impedance_of
// and the block path compile the very same operations. The CPE, Wo and Ws
// blocks differ only in taking their powers and hyperbolic and circular
// functions from the vector math library (a few ulps apart); they use these
// formulas for the points off their fast path.

#include "elements/element.hpp"
#include "support/invariant.hpp"

namespace kelvara {

// s = j*omega; the real part is 0*omega so that omega = inf or NaN poisons it.
inline Complex jomega(double omega) { return {0.0 * omega, omega}; }

inline Complex real_over(double numerator, Complex z) { return cdiv({numerator, 0.0}, z); }

[[gnu::always_inline]] inline Complex impedance_formula(Kind kind, const double* p, double omega) {
  const Complex s = jomega(omega);
  switch (kind) {
    case Kind::R:
      return {p[0], 0.0};
    case Kind::C:  // 1 / (s c)
      return crecip(cscale(s, p[0]));
    case Kind::L:  // s l
      return cscale(s, p[0]);
    case Kind::La:  // (s l)^alpha
      return cpow(cscale(s, p[0]), p[1]);
    case Kind::Cpe:  // 1 / (q s^alpha)
      return crecip(cscale(cpow(s, p[1]), p[0]));
    case Kind::W:  // aw (1 - j) / sqrt(omega)
      return cdiv({p[0], -p[0]}, {std::sqrt(omega), 0.0});
    case Kind::Wo: {  // z0 / (x tanh x), x = sqrt(s tau)
      const Complex x = csqrt(cscale(s, p[1]));
      return real_over(p[0], cmul(x, ctanh(x)));
    }
    case Kind::Ws: {  // z0 tanh(x) / x
      const Complex x = csqrt(cscale(s, p[1]));
      return cdiv(cscale(ctanh(x), p[0]), x);
    }
    case Kind::G:  // rg / sqrt(1 + s tg)
      return real_over(p[0], csqrt(cadd({1.0, 0.0}, cscale(s, p[1]))));
    case Kind::Gs: {  // rg / (y tanh(phi y)), y = sqrt(1 + s tg)
      const Complex y = csqrt(cadd({1.0, 0.0}, cscale(s, p[1])));
      return real_over(p[0], cmul(y, ctanh(cscale(y, p[2]))));
    }
    case Kind::K:  // r / (1 + s tau_k)
      return real_over(p[0], cadd({1.0, 0.0}, cscale(s, p[1])));
    case Kind::Zarc:  // r / (1 + (s tau_k)^gamma)
      return real_over(p[0], cadd({1.0, 0.0}, cpow(cscale(s, p[1]), p[2])));
    case Kind::Tlmq: {  // Zq = 1/(qs s^gamma); sqrt(r_ion Zq) / tanh(sqrt(r_ion / Zq))
      const Complex zq = crecip(cscale(cpow(s, p[2]), p[1]));
      return cdiv(csqrt(cscale(zq, p[0])), ctanh(csqrt(real_over(p[0], zq))));
    }
    case Kind::T: {  // beta = sqrt(k_tau + s tau); a/(beta tanh beta) + b/(beta sinh beta)
      const Complex beta = csqrt(cadd({p[2], 0.0}, cscale(s, p[3])));
      const Complex first = real_over(p[0], cmul(beta, ctanh(beta)));
      // Where tanh saturates, sinh is huge and the second term is exactly 0.
      if (std::fabs(beta.real()) > kTanhSaturation) return cadd(first, {0.0, 0.0});
      return cadd(first, real_over(p[1], cmul(beta, csinh(beta))));
    }
    case Kind::Custom:  // evaluated from its definition's tape, never here
      break;
  }
  invariant_failed("Element::impedance_of: unknown element kind");
}

}  // namespace kelvara
