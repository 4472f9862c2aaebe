#pragma once
// The few complex operations the element formulas are defined with.
//
// std::complex operators are deliberately not used for these: the impedance
// formulas fix the plain textbook division (no scaling, 0/0 = NaN for a zero
// divisor), exact fast paths for the exponents 1, 0.5 and 0, and a tanh that
// saturates above |Re| > 20 instead of overflowing. Every helper here is
// allocation-free and touches no shared state.

#include <cmath>
#include <complex>
#include <limits>

namespace kelvara {

using Complex = std::complex<double>;

// (a + jb)(c + jd) = (ac - bd) + j(ad + bc)
inline Complex cmul(Complex x, Complex y) {
  return {x.real() * y.real() - x.imag() * y.imag(), x.real() * y.imag() + x.imag() * y.real()};
}

inline Complex cscale(Complex x, double k) { return {x.real() * k, x.imag() * k}; }

inline Complex cadd(Complex x, Complex y) { return {x.real() + y.real(), x.imag() + y.imag()}; }

// (a + jb)/(c + jd) = ((ac + bd) + j(bc - ad)) / (c^2 + d^2), unscaled.
inline Complex cdiv(Complex x, Complex y) {
  const double a = x.real(), b = x.imag(), c = y.real(), d = y.imag();
  const double n = c * c + d * d;
  return {(a * c + b * d) / n, (b * c - a * d) / n};
}

inline Complex crecip(Complex z) { return cdiv({1.0, 0.0}, z); }

// Principal square root with the sign conventions of the real and imaginary
// axes spelled out (sign bits, not comparisons, decide on the axes).
inline Complex csqrt(Complex z) {
  const double re = z.real(), im = z.imag();
  if (im == 0.0) {
    if (!std::signbit(re)) return {std::sqrt(re), im};
    const double r = std::sqrt(-re);
    return {0.0, std::signbit(im) ? -r : r};
  }
  if (re == 0.0) {
    const double x = std::sqrt(std::fabs(im) / 2.0);
    return {x, std::signbit(im) ? -x : x};
  }
  const double r = std::hypot(re, im), theta = std::atan2(im, re);
  const double m = std::sqrt(r), h = theta / 2.0;
  return {m * std::cos(h), m * std::sin(h)};
}

// cos and sin of (pi/2) p, remembered for the last few exponents of this
// thread: a circuit has one or two exponents, evaluated at every frequency.
struct RightAngleTurn {
  double cos;
  double sin;
};
RightAngleTurn right_angle_turn(double p);

// True for 0 + jy with y finite and non-zero, where z^p takes the fast path.
inline bool is_imaginary_axis(Complex z) {
  return z.real() == 0.0 && z.imag() != 0.0 && std::isfinite(z.imag());
}

// (jy)^p from the turn of p and m = |y|^p (computed by the caller, so that a
// block of powers can be taken before the arithmetic). y is finite and
// non-zero here, so a comparison (which vectorises) decides the sign.
inline Complex cpow_imaginary(double y, RightAngleTurn turn, double m) {
  const double s = m * turn.sin;
  return {m * turn.cos, y < 0.0 ? -s : s};
}

// z^p for real p: exact for p = 1, 0.5 and 0, polar form otherwise.
inline Complex cpow(Complex z, double p) {
  if (p == 1.0) return z;
  if (p == 0.5) return csqrt(z);
  if (p == 0.0) return {1.0, 0.0};
  // Every frequency-dependent power has a purely imaginary base (j w k):
  // there |z| = |Im z| and arg z = +-pi/2 exactly, so the polar form needs
  // no hypot or atan2 and its angle depends on p alone. Bit for bit the
  // general formula below (cos is even and sin odd).
  if (is_imaginary_axis(z))
    return cpow_imaginary(z.imag(), right_angle_turn(p), std::pow(std::fabs(z.imag()), p));
  const double r = std::hypot(z.real(), z.imag()), theta = std::atan2(z.imag(), z.real());
  const double m = std::pow(r, p), t = theta * p;
  return {m * std::cos(t), m * std::sin(t)};
}

// |Re| above which tanh is taken as +-1 exactly (cosh 2a would overflow).
inline constexpr double kTanhSaturation = 20.0;

// tanh(a + jb) = (sinh 2a + j sin 2b) / (cosh 2a + cos 2b)
inline Complex ctanh(Complex z) {
  const double a = z.real(), b = z.imag();
  if (std::fabs(a) > kTanhSaturation) return {std::copysign(1.0, a), 0.0};
  const double two_a = a + a, two_b = b + b;
  const double d = std::cosh(two_a) + std::cos(two_b);
  return {std::sinh(two_a) / d, std::sin(two_b) / d};
}

// sinh(a + jb) = sinh a cos b + j cosh a sin b
inline Complex csinh(Complex z) {
  const double a = z.real(), b = z.imag();
  return {std::sinh(a) * std::cos(b), std::cosh(a) * std::sin(b)};
}

}  // namespace kelvara
