// Evaluation of a formula tape: values over a block of points, and values
// with their exact parameter derivatives (complex duals) at one point.
// Both take every value from the same `value_of`, except that the block
// takes powers and tanh/coth from the vector library (a few ulps apart, as
// the built-in elements' blocks do).

#include <algorithm>
#include <array>
#include <vector>

#include "elements/element.hpp"
#include "elements/formula.hpp"
#include "elements/formula_math.hpp"
#include "elements/vector_math.hpp"
#include "support/invariant.hpp"

namespace kelvara {
namespace {

constexpr double kTwoPiHertz = 6.283185307179586;
constexpr std::size_t kBlock = Element::kBlockPoints;

// One instruction's value from its operands' values. `in.real` marks a
// result that is real wherever its operands are: real arithmetic then.
[[gnu::always_inline]] inline Complex value_of(const FormulaInstruction& in, bool a_real,
                                               bool b_real, Complex x, Complex y) {
  const double xr = x.real(), yr = y.real();
  switch (in.op) {
    case FormulaOp::Neg:
      return {-xr, -x.imag()};
    case FormulaOp::Add:
      return in.real ? Complex{xr + yr, 0.0} : cadd(x, y);
    case FormulaOp::Sub:
      return in.real ? Complex{xr - yr, 0.0} : Complex{xr - yr, x.imag() - y.imag()};
    case FormulaOp::Mul:
      if (in.real) return {xr * yr, 0.0};
      if (b_real) return cscale(x, yr);
      if (a_real) return cscale(y, xr);
      return cmul(x, y);
    case FormulaOp::Div:
      if (in.real) return {xr / yr, 0.0};
      if (b_real) return {xr / yr, x.imag() / yr};
      return cdiv(x, y);
    case FormulaOp::PowInteger:
      if (in.real) return {pow_integer(xr, int(in.constant.real())), 0.0};
      return cpow_integer(x, int(in.constant.real()));
    case FormulaOp::PowReal:
      return cpow(x, yr);
    case FormulaOp::PowComplex:
      return cpow_complex(x, y);
    case FormulaOp::Sqrt:
      return csqrt(x);
    case FormulaOp::Exp:
      return in.real ? Complex{std::exp(xr), 0.0} : cexp(x);
    case FormulaOp::Log:
      return clog(x);
    case FormulaOp::Sinh:
      return in.real ? Complex{std::sinh(xr), 0.0} : csinh_exact(x);
    case FormulaOp::Cosh:
      return in.real ? Complex{std::cosh(xr), 0.0} : ccosh(x);
    case FormulaOp::Tanh:
      return in.real ? Complex{std::tanh(xr), 0.0} : ctanh(x);
    case FormulaOp::Coth:
      return in.real ? Complex{1.0 / std::tanh(xr), 0.0} : ccoth(x);
    case FormulaOp::Sin:
      return in.real ? Complex{std::sin(xr), 0.0} : csin(x);
    case FormulaOp::Cos:
      return in.real ? Complex{std::cos(xr), 0.0} : ccos(x);
    case FormulaOp::Tan:
      return in.real ? Complex{std::tan(xr), 0.0} : ctan(x);
    case FormulaOp::Constant:
    case FormulaOp::Parameter:
    case FormulaOp::Omega:
    case FormulaOp::Hertz:
      break;
  }
  invariant_failed("formula: operand instruction evaluated as an operation");
}

// d value / d a and d value / d b at one point (b's is unused for functions;
// a power's is needed only where its exponent depends on a parameter).
struct Partials {
  Complex da;
  Complex db;
};

Partials partials_of(const FormulaInstruction& in, Complex x, Complex y, Complex v,
                     bool exponent_varies) {
  const Complex one{1.0, 0.0};
  switch (in.op) {
    case FormulaOp::Neg:
      return {{-1.0, 0.0}, {}};
    case FormulaOp::Add:
      return {one, one};
    case FormulaOp::Sub:
      return {one, {-1.0, 0.0}};
    case FormulaOp::Mul:
      return {y, x};
    case FormulaOp::Div: {
      const Complex r = crecip(y);
      return {r, {-cmul(v, r).real(), -cmul(v, r).imag()}};
    }
    case FormulaOp::PowInteger: {
      const int n = int(in.constant.real());
      if (n == 0) return {{0.0, 0.0}, {}};
      return {cscale(cpow_integer(x, n - 1), double(n)), {}};
    }
    case FormulaOp::PowReal:
    case FormulaOp::PowComplex: {
      // v = x^y: dv/dx = y x^(y-1) (y v / x, one division, where x is not 0),
      // dv/dy = v log x (0 where v is: x = 0, Re y > 0; only where y varies).
      const bool vanishes = v.real() == 0.0 && v.imag() == 0.0;
      const bool at_zero = x.real() == 0.0 && x.imag() == 0.0;
      Complex lower;
      if (!at_zero) {
        lower = cdiv(v, x);
      } else {
        const Complex y_less_one{y.real() - 1.0, y.imag()};
        lower =
            in.op == FormulaOp::PowReal ? cpow(x, y_less_one.real()) : cpow_complex(x, y_less_one);
      }
      return {cmul(y, lower), vanishes || !exponent_varies ? Complex{} : cmul(v, clog(x))};
    }
    case FormulaOp::Sqrt:
      return {crecip(cscale(v, 2.0)), {}};
    case FormulaOp::Exp:
      return {v, {}};
    case FormulaOp::Log:
      return {crecip(x), {}};
    case FormulaOp::Sinh:
      return {ccosh(x), {}};
    case FormulaOp::Cosh:
      return {csinh_exact(x), {}};
    case FormulaOp::Tanh:
    case FormulaOp::Coth: {  // 1 - v^2 for both
      const Complex sq = cmul(v, v);
      return {{1.0 - sq.real(), -sq.imag()}, {}};
    }
    case FormulaOp::Sin:
      return {ccos(x), {}};
    case FormulaOp::Cos: {
      const Complex s = csin(x);
      return {{-s.real(), -s.imag()}, {}};
    }
    case FormulaOp::Tan: {
      const Complex sq = cmul(v, v);
      return {{1.0 + sq.real(), sq.imag()}, {}};
    }
    default:
      break;
  }
  return {};
}

bool is_unary(FormulaOp op) {
  return op == FormulaOp::Neg || op == FormulaOp::PowInteger || op >= FormulaOp::Sqrt;
}

// Grows, never shrinks: a thread allocates only when it first meets a longer tape.
template <class T>
T* scratch(std::vector<T>& kept, std::size_t size) {
  if (kept.size() < size) kept.resize(size);
  return kept.data();
}

// x ** p for one real p over a block: the powers of the points on the
// imaginary axis (every j*w*k) taken together from the vector library, as
// the built-in CPE does; the other points point by point.
void power_block(const double* ar, const double* ai, std::size_t sa, double p, std::size_t m,
                 double* re, double* im) {
  const bool exact = p == 1.0 || p == 0.5 || p == 0.0;  // cpow's exact cases
  std::array<double, kBlock> magnitude, powered;
  for (std::size_t k = 0; k < m; ++k) {
    const Complex x{ar[k * sa], ai[k * sa]};
    magnitude[k] = !exact && is_imaginary_axis(x) ? std::fabs(x.imag()) : 1.0;
  }
  if (!exact) vector_math::pow_each(magnitude.data(), p, powered.data(), m);
  const RightAngleTurn turn = right_angle_turn(p);
  for (std::size_t k = 0; k < m; ++k) {
    const Complex x{ar[k * sa], ai[k * sa]};
    const Complex z =
        !exact && is_imaginary_axis(x) ? cpow_imaginary(x.imag(), turn, powered[k]) : cpow(x, p);
    re[k] = z.real();
    im[k] = z.imag();
  }
}

// tanh (or coth) over a block: tanh(a + jb) = (sinh 2a + j sin 2b) / (cosh 2a + cos 2b)
// with the hyperbolic and circular functions taken together, saturated as ctanh is.
void tanh_block(const double* ar, const double* ai, std::size_t sa, std::size_t m, bool coth,
                double* re, double* im) {
  std::array<double, kBlock> two_a, two_b, sh, ch, sn, cs;
  for (std::size_t k = 0; k < m; ++k) {
    const bool saturated = std::fabs(ar[k * sa]) > kTanhSaturation;
    two_a[k] = saturated ? 0.0 : ar[k * sa] + ar[k * sa];
    two_b[k] = saturated ? 0.0 : ai[k * sa] + ai[k * sa];
  }
  vector_math::sinh_cosh_each(two_a.data(), sh.data(), ch.data(), m);
  vector_math::sin_cos_each(two_b.data(), sn.data(), cs.data(), m);
  for (std::size_t k = 0; k < m; ++k) {
    const bool saturated = std::fabs(ar[k * sa]) > kTanhSaturation;
    const double d = ch[k] + cs[k];
    const Complex t =
        saturated ? Complex{std::copysign(1.0, ar[k * sa]), 0.0} : Complex{sh[k] / d, sn[k] / d};
    const Complex z = coth ? crecip(t) : t;
    re[k] = z.real();
    im[k] = z.imag();
  }
}

// One operation over the points of a block: a slot that does not vary
// with frequency holds one value, read with stride 0.
template <FormulaOp Op>
void run_block(const FormulaInstruction& in, const FormulaTape& tape, double* slots,
               std::size_t n) {
  const FormulaInstruction& a = tape.code[in.a];
  const FormulaInstruction& b = tape.code[in.b];
  const double* ar = slots + std::size_t(in.a) * 2 * kBlock;
  const double* ai = ar + kBlock;
  const double* br = slots + std::size_t(in.b) * 2 * kBlock;
  const double* bi = br + kBlock;
  double* re = slots + std::size_t(&in - tape.code.data()) * 2 * kBlock;
  double* im = re + kBlock;
  const std::size_t sa = a.varies ? 1 : 0, sb = b.varies ? 1 : 0;
  const std::size_t m = in.varies ? n : 1;
  if constexpr (Op == FormulaOp::PowReal) {
    if (in.varies && !b.varies) return power_block(ar, ai, sa, br[0], m, re, im);
  }
  if constexpr (Op == FormulaOp::Tanh || Op == FormulaOp::Coth) {
    if (in.varies && !in.real) return tanh_block(ar, ai, sa, m, Op == FormulaOp::Coth, re, im);
  }
  FormulaInstruction fixed = in;
  fixed.op = Op;
  for (std::size_t k = 0; k < m; ++k) {
    const Complex z =
        value_of(fixed, a.real, b.real, {ar[k * sa], ai[k * sa]}, {br[k * sb], bi[k * sb]});
    re[k] = z.real();
    im[k] = z.imag();
  }
}

using BlockRunner = void (*)(const FormulaInstruction&, const FormulaTape&, double*, std::size_t);

constexpr BlockRunner runner_for(FormulaOp op) {
  switch (op) {
    case FormulaOp::Neg:
      return run_block<FormulaOp::Neg>;
    case FormulaOp::Add:
      return run_block<FormulaOp::Add>;
    case FormulaOp::Sub:
      return run_block<FormulaOp::Sub>;
    case FormulaOp::Mul:
      return run_block<FormulaOp::Mul>;
    case FormulaOp::Div:
      return run_block<FormulaOp::Div>;
    case FormulaOp::PowInteger:
      return run_block<FormulaOp::PowInteger>;
    case FormulaOp::PowReal:
      return run_block<FormulaOp::PowReal>;
    case FormulaOp::PowComplex:
      return run_block<FormulaOp::PowComplex>;
    case FormulaOp::Sqrt:
      return run_block<FormulaOp::Sqrt>;
    case FormulaOp::Exp:
      return run_block<FormulaOp::Exp>;
    case FormulaOp::Log:
      return run_block<FormulaOp::Log>;
    case FormulaOp::Sinh:
      return run_block<FormulaOp::Sinh>;
    case FormulaOp::Cosh:
      return run_block<FormulaOp::Cosh>;
    case FormulaOp::Tanh:
      return run_block<FormulaOp::Tanh>;
    case FormulaOp::Coth:
      return run_block<FormulaOp::Coth>;
    case FormulaOp::Sin:
      return run_block<FormulaOp::Sin>;
    case FormulaOp::Cos:
      return run_block<FormulaOp::Cos>;
    case FormulaOp::Tan:
      return run_block<FormulaOp::Tan>;
    default:
      return nullptr;
  }
}

}  // namespace

void evaluate_formula_block(const FormulaTape& tape, const double* params,
                            std::span<const double> omegas, double* re, double* im) {
  const std::size_t n = omegas.size();
  if (n > kBlock) invariant_failed("evaluate_formula_block: block too long");
  thread_local std::vector<double> kept;
  double* slots = scratch(kept, tape.code.size() * 2 * kBlock);
  for (std::size_t i = 0; i < tape.code.size(); ++i) {
    const FormulaInstruction& in = tape.code[i];
    double* r = slots + i * 2 * kBlock;
    double* m = r + kBlock;
    switch (in.op) {
      case FormulaOp::Constant:
        r[0] = in.constant.real(), m[0] = in.constant.imag();
        break;
      case FormulaOp::Parameter:
        r[0] = params[in.a], m[0] = 0.0;
        break;
      case FormulaOp::Omega:
        for (std::size_t k = 0; k < n; ++k) r[k] = omegas[k], m[k] = 0.0;
        break;
      case FormulaOp::Hertz:
        for (std::size_t k = 0; k < n; ++k) r[k] = omegas[k] / kTwoPiHertz, m[k] = 0.0;
        break;
      default:
        runner_for(in.op)(in, tape, slots, n);
    }
  }
  const double* r = slots + (tape.code.size() - 1) * 2 * kBlock;
  const double* m = r + kBlock;
  const std::size_t stride = tape.code.back().varies ? 1 : 0;
  for (std::size_t k = 0; k < n; ++k) re[k] = r[k * stride], im[k] = m[k * stride];
}

Complex evaluate_formula_derivatives(const FormulaTape& tape, const double* params, double omega,
                                     std::span<Complex> derivatives) {
  const std::size_t p = tape.parameter_count, width = 1 + p;
  if (derivatives.size() < p) invariant_failed("evaluate_formula_derivatives: too few outputs");
  thread_local std::vector<Complex> kept;
  Complex* slots = scratch(kept, tape.code.size() * width);
  // A derivative the slot does not depend on is 0 and never stored.
  auto grad = [&](std::size_t slot, std::size_t k) {
    return (tape.code[slot].depends >> k) & 1u ? slots[slot * width + 1 + k] : Complex{};
  };
  for (std::size_t i = 0; i < tape.code.size(); ++i) {
    const FormulaInstruction& in = tape.code[i];
    Complex* out = slots + i * width;
    switch (in.op) {
      case FormulaOp::Constant:
        out[0] = in.constant;
        continue;
      case FormulaOp::Parameter:
        out[0] = {params[in.a], 0.0};
        out[1 + in.a] = {1.0, 0.0};
        continue;
      case FormulaOp::Omega:
        out[0] = {omega, 0.0};
        continue;
      case FormulaOp::Hertz:
        out[0] = {omega / kTwoPiHertz, 0.0};
        continue;
      default:
        break;
    }
    const Complex x = slots[std::size_t(in.a) * width], y = slots[std::size_t(in.b) * width];
    out[0] = value_of(in, tape.code[in.a].real, tape.code[in.b].real, x, y);
    if (!in.depends) continue;
    const Partials d = partials_of(in, x, y, out[0], tape.code[in.b].depends != 0);
    const bool unary = is_unary(in.op);
    for (std::size_t k = 0; k < p; ++k) {
      if (!((in.depends >> k) & 1u)) continue;
      // Only operands that depend on k contribute, so an infinite partial
      // of the other never meets its zero derivative.
      Complex g{};
      if ((tape.code[in.a].depends >> k) & 1u) g = cmul(d.da, grad(in.a, k));
      if (!unary && (tape.code[in.b].depends >> k) & 1u) g = cadd(g, cmul(d.db, grad(in.b, k)));
      out[1 + k] = g;
    }
  }
  const std::size_t last = tape.code.size() - 1;
  for (std::size_t k = 0; k < p; ++k) derivatives[k] = grad(last, k);
  return slots[last * width];
}

}  // namespace kelvara
