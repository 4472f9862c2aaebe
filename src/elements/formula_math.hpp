#pragma once
// The complex functions of the formula language beyond complex_math.hpp,
// written out from their real and imaginary parts so that every case (an
// axis, an overflow) is visible. tanh, coth and tan saturate where the
// plain formulas would divide infinity by infinity.

#include <cmath>

#include "elements/complex_math.hpp"

namespace kelvara {

inline Complex cexp(Complex z) {
  const double m = std::exp(z.real());
  if (z.imag() == 0.0) return {m, z.imag()};
  return {m * std::cos(z.imag()), m * std::sin(z.imag())};
}

// Principal logarithm: log|z| + j arg z.
inline Complex clog(Complex z) {
  return {std::log(std::hypot(z.real(), z.imag())), std::atan2(z.imag(), z.real())};
}

// cosh(a + jb) = cosh a cos b + j sinh a sin b
inline Complex ccosh(Complex z) {
  const double a = z.real(), b = z.imag();
  if (b == 0.0) return {std::cosh(a), 0.0};
  return {std::cosh(a) * std::cos(b), std::sinh(a) * std::sin(b)};
}

inline Complex csinh_exact(Complex z) {
  if (z.imag() == 0.0) return {std::sinh(z.real()), z.imag()};
  return csinh(z);
}

// coth = 1 / tanh, with the same saturation.
inline Complex ccoth(Complex z) { return crecip(ctanh(z)); }

// sin(a + jb) = sin a cosh b + j cos a sinh b
inline Complex csin(Complex z) {
  const double a = z.real(), b = z.imag();
  if (b == 0.0) return {std::sin(a), 0.0};
  return {std::sin(a) * std::cosh(b), std::cos(a) * std::sinh(b)};
}

// cos(a + jb) = cos a cosh b - j sin a sinh b
inline Complex ccos(Complex z) {
  const double a = z.real(), b = z.imag();
  if (b == 0.0) return {std::cos(a), 0.0};
  return {std::cos(a) * std::cosh(b), -std::sin(a) * std::sinh(b)};
}

// tan(a + jb) = (sin 2a + j sinh 2b) / (cos 2a + cosh 2b); +-j where |b| saturates.
inline Complex ctan(Complex z) {
  const double a = z.real(), b = z.imag();
  if (b == 0.0) return {std::tan(a), 0.0};
  if (std::fabs(b) > kTanhSaturation) return {0.0, std::copysign(1.0, b)};
  const double d = std::cos(a + a) + std::cosh(b + b);
  return {std::sin(a + a) / d, std::sinh(b + b) / d};
}

// z ** n for a small integer n by repeated squaring (exact where the
// products are; a negative n is the reciprocal).
inline Complex cpow_integer(Complex z, int n) {
  Complex result{1.0, 0.0}, base = z;
  unsigned k = n < 0 ? unsigned(-n) : unsigned(n);
  bool empty = true;  // result is still the 1 it started as: take the factor itself
  while (k) {
    if (k & 1u) {
      result = empty ? base : cmul(result, base);
      empty = false;
    }
    k >>= 1;
    if (k) base = cmul(base, base);
  }
  return n < 0 ? crecip(result) : result;
}

inline double pow_integer(double x, int n) {
  double result = 1.0, base = x;
  unsigned k = n < 0 ? unsigned(-n) : unsigned(n);
  while (k) {
    if (k & 1u) result *= base;
    k >>= 1;
    if (k) base *= base;
  }
  return n < 0 ? 1.0 / result : result;
}

// a ** b for complex b: exp(b log a); 0 ** b is 0 where Re b > 0.
inline Complex cpow_complex(Complex a, Complex b) {
  if (a.real() == 0.0 && a.imag() == 0.0 && b.real() > 0.0) return {0.0, 0.0};
  return cexp(cmul(b, clog(a)));
}

}  // namespace kelvara
