// Evaluation of a formula tape: values over a block of points, and values
// with their exact parameter derivatives (complex duals) at one point.
// Both take every value from the same `value_of`, except that the block
// takes powers and tanh/coth from the vector library (a few ulps apart, as
// the built-in elements' blocks do).

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <type_traits>
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

// out[k] = d(instruction)/d(parameter k) by the chain rule, for each k it
// depends on. Only operands that depend on k contribute, so an infinite
// partial of the other never meets its zero derivative.
template <class Grad>
void accumulate_gradient(const FormulaTape& tape, const FormulaInstruction& in, const Partials& d,
                         Grad grad, Complex* out) {
  const bool unary = is_unary(in.op);
  for (std::size_t k = 0; k < tape.parameter_count; ++k) {
    if (!((in.depends >> k) & 1u)) continue;
    Complex g{};
    if ((tape.code[in.a].depends >> k) & 1u) g = cmul(d.da, grad(in.a, k));
    if (!unary && (tape.code[in.b].depends >> k) & 1u) g = cadd(g, cmul(d.db, grad(in.b, k)));
    out[k] = g;
  }
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

// Where an instruction's values live over a block: its own slot in the
// scratch, the caller's frequencies for w, the caller's output for the
// result, so that neither is copied.
struct SlotView {
  const double* re;
  const double* im;
};

// csqrt of real operands (imaginary parts +-0): a square root per point in a
// loop that vectorises, as the built-in W's does, then the points with the
// sign bit set (negative, -0, NaN with it) redone by csqrt itself.
void real_sqrt_block(const double* ar, const double* ai, std::size_t m, double* re, double* im) {
  std::uint64_t signs = 0;
  for (std::size_t k = 0; k < m; ++k) {
    re[k] = std::sqrt(ar[k]);
    im[k] = ai[k];
    signs |= std::bit_cast<std::uint64_t>(ar[k]);
  }
  if (!(signs >> 63)) return;
  for (std::size_t k = 0; k < m; ++k) {
    if (!std::signbit(ar[k])) continue;
    const Complex z = csqrt({ar[k], ai[k]});
    re[k] = z.real();
    im[k] = z.imag();
  }
}

// csqrt where every operand lies on the imaginary axis (real parts +-0, as
// sqrt(j*w*tau) has them): sqrt(|b|/2) (1 +- j), in a loop that vectorises.
// False, with nothing written, where a real part is not zero.
bool imaginary_sqrt_block(const double* ar, const double* ai, std::size_t m, double* re,
                          double* im) {
  std::uint64_t off_axis = 0;  // the real parts' bits less their signs
  for (std::size_t k = 0; k < m; ++k) off_axis |= std::bit_cast<std::uint64_t>(ar[k]) << 1;
  if (off_axis) return false;
  for (std::size_t k = 0; k < m; ++k) {
    const double x = std::sqrt(std::fabs(ai[k]) / 2.0);
    re[k] = x;
    im[k] = std::copysign(x, ai[k]);
  }
  return true;
}

// One operation over the points of a block: a slot that does not vary
// with frequency holds one value, read with stride 0.
template <FormulaOp Op>
void run_block(const FormulaInstruction& in, const FormulaTape& tape, const SlotView* views,
               std::size_t n, double* re, double* im) {
  const FormulaInstruction& a = tape.code[in.a];
  const FormulaInstruction& b = tape.code[in.b];
  const double* ar = views[in.a].re;
  const double* ai = views[in.a].im;
  const double* br = views[in.b].re;
  const double* bi = views[in.b].im;
  const std::size_t sa = a.varies ? 1 : 0, sb = b.varies ? 1 : 0;
  const std::size_t m = in.varies ? n : 1;
  if constexpr (Op == FormulaOp::PowReal) {
    if (in.varies && !b.varies) return power_block(ar, ai, sa, br[0], m, re, im);
  }
  if constexpr (Op == FormulaOp::Tanh || Op == FormulaOp::Coth) {
    if (in.varies && !in.real) return tanh_block(ar, ai, sa, m, Op == FormulaOp::Coth, re, im);
  }
  if constexpr (Op == FormulaOp::Sqrt) {
    if (in.varies && a.real) return real_sqrt_block(ar, ai, m, re, im);
    if (in.varies && imaginary_sqrt_block(ar, ai, m, re, im)) return;
  }
  FormulaInstruction fixed = in;
  fixed.op = Op;
  // Strides known to the compiler, so that the loops over whole blocks vectorise.
  auto each = [&](auto a_stride, auto b_stride) {
    for (std::size_t k = 0; k < m; ++k) {
      const std::size_t i = k * a_stride, j = k * b_stride;
      const Complex z = value_of(fixed, a.real, b.real, {ar[i], ai[i]}, {br[j], bi[j]});
      re[k] = z.real();
      im[k] = z.imag();
    }
  };
  using One = std::integral_constant<std::size_t, 1>;
  using Zero = std::integral_constant<std::size_t, 0>;
  if (sa == 1 && sb == 1) return each(One{}, One{});
  if (sa == 1) return each(One{}, Zero{});
  if (sb == 1) return each(Zero{}, One{});
  each(Zero{}, Zero{});
}

using BlockRunner = void (*)(const FormulaInstruction&, const FormulaTape&, const SlotView*,
                             std::size_t, double*, double*);

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

// One thread-local object: each one costs a lookup in a shared library.
struct BlockScratch {
  std::vector<double> slots;
  std::vector<SlotView> views;
  std::vector<Complex> gradients;
};
thread_local BlockScratch block_scratch;

// Every instruction's values over the block, into the scratch's slots (w
// read in place); the last, where it varies and `re` is given, straight into
// (re, im) instead. The views say where each instruction's values are.
const SlotView* run_tape(const FormulaTape& tape, const double* params,
                         std::span<const double> omegas, double* re, double* im) {
  const std::size_t n = omegas.size(), count = tape.code.size();
  if (n > kBlock) invariant_failed("formula evaluation: block too long");
  static const std::array<double, kBlock> zeros{};
  BlockScratch& kept = block_scratch;
  double* slots = scratch(kept.slots, count * 2 * kBlock);
  SlotView* views = scratch(kept.views, count);
  for (std::size_t i = 0; i < count; ++i) {
    const FormulaInstruction& in = tape.code[i];
    double* r = slots + i * 2 * kBlock;
    double* m = r + kBlock;
    views[i] = {r, m};
    switch (in.op) {
      case FormulaOp::Constant:
        r[0] = in.constant.real(), m[0] = in.constant.imag();
        break;
      case FormulaOp::Parameter:
        r[0] = params[in.a], m[0] = 0.0;
        break;
      case FormulaOp::Omega:
        views[i] = {omegas.data(), zeros.data()};  // read in place
        break;
      case FormulaOp::Hertz:
        for (std::size_t k = 0; k < n; ++k) r[k] = omegas[k] / kTwoPiHertz, m[k] = 0.0;
        break;
      default:
        if (re && i + 1 == count && in.varies) {
          runner_for(in.op)(in, tape, views, n, re, im);
          views[i] = {re, im};
        } else {
          runner_for(in.op)(in, tape, views, n, r, m);
        }
    }
  }
  return views;
}

Complex value_in(const FormulaTape& tape, const SlotView* views, std::size_t slot, std::size_t k) {
  const std::size_t at = tape.code[slot].varies ? k : 0;
  return {views[slot].re[at], views[slot].im[at]};
}

}  // namespace

void evaluate_formula_block(const FormulaTape& tape, const double* params,
                            std::span<const double> omegas, double* re, double* im) {
  const SlotView* views = run_tape(tape, params, omegas, re, im);
  const SlotView& result = views[tape.code.size() - 1];
  if (result.re == re) return;
  for (std::size_t k = 0; k < omegas.size(); ++k) {
    const Complex z = value_in(tape, views, tape.code.size() - 1, k);
    re[k] = z.real(), im[k] = z.imag();
  }
}

void evaluate_formula_block_derivatives(const FormulaTape& tape, const double* params,
                                        std::span<const double> omegas, double* d_re, double* d_im,
                                        std::size_t row_stride) {
  const std::size_t p = tape.parameter_count, count = tape.code.size();
  const SlotView* views = run_tape(tape, params, omegas, nullptr, nullptr);
  Complex* grads = scratch(block_scratch.gradients, count * p);  // p per instruction
  // A derivative the slot does not depend on is 0 and never stored.
  auto grad = [&](std::size_t slot, std::size_t j) {
    return (tape.code[slot].depends >> j) & 1u ? grads[slot * p + j] : Complex{};
  };
  for (std::size_t k = 0; k < omegas.size(); ++k) {
    for (std::size_t i = 0; i < count; ++i) {
      const FormulaInstruction& in = tape.code[i];
      if (!in.depends) continue;
      Complex* out = grads + i * p;
      if (in.op == FormulaOp::Parameter) {
        out[in.a] = {1.0, 0.0};
        continue;
      }
      const Complex x = value_in(tape, views, in.a, k), y = value_in(tape, views, in.b, k);
      const Partials d =
          partials_of(in, x, y, value_in(tape, views, i, k), tape.code[in.b].depends != 0);
      accumulate_gradient(tape, in, d, grad, out);
    }
    for (std::size_t j = 0; j < p; ++j) {
      const Complex g = grad(count - 1, j);
      d_re[j * row_stride + k] = g.real();
      d_im[j * row_stride + k] = g.imag();
    }
  }
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
    accumulate_gradient(tape, in, d, grad, out + 1);
  }
  const std::size_t last = tape.code.size() - 1;
  for (std::size_t k = 0; k < p; ++k) derivatives[k] = grad(last, k);
  return slots[last * width];
}

}  // namespace kelvara
