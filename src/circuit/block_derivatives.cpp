#include "circuit/block_derivatives.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "circuit/tree.hpp"
#include "circuit/tree_utils.hpp"
#include "elements/custom_element.hpp"
#include "support/difference_step.hpp"
#include "support/invariant.hpp"

namespace kelvara {
namespace {

constexpr std::size_t kBlock = Element::kBlockPoints;

constexpr double kHalfPi = 1.5707963267948966;

// One block's working storage: per nesting level a branch result and an
// admittance sum, a leaf's two differenced evaluations, and the derivative
// rows (one per parameter, real and imaginary parts apart).
struct Scratch {
  Scratch(std::size_t depth, std::size_t params)
      : levels(4 * kBlock * (depth + 2)),
        differences(4 * kBlock),
        d_re(params * kBlock),
        d_im(params * kBlock) {}
  double* level(std::size_t depth, std::size_t part) {
    return levels.data() + (4 * depth + part) * kBlock;
  }
  std::vector<double> levels, differences, d_re, d_im;
};

// Row j of the derivatives times (a + jb), pointwise.
void scale_row(Scratch& s, std::size_t j, const double* a, const double* b, std::size_t n) {
  double* re = s.d_re.data() + j * kBlock;
  double* im = s.d_im.data() + j * kBlock;
  for (std::size_t i = 0; i < n; ++i) {
    const Complex d = cmul({re[i], im[i]}, {a[i], b[i]});
    re[i] = d.real();
    im[i] = d.imag();
  }
}

// Row `row` = f(z_i, omega_i) for every point of the block.
template <class F>
void fill_row(Scratch& s, std::size_t row, std::span<const double> omegas, const double* z_re,
              const double* z_im, F f) {
  double* re = s.d_re.data() + row * kBlock;
  double* im = s.d_im.data() + row * kBlock;
  for (std::size_t i = 0; i < omegas.size(); ++i) {
    const Complex d = f(Complex{z_re[i], z_im[i]}, omegas[i]);
    re[i] = d.real();
    im[i] = d.imag();
  }
}

// log(j omega), the derivative of s^alpha over alpha divided by s^alpha.
Complex log_jomega(double omega) { return {std::log(omega), kHalfPi}; }

// The rows of the elements whose derivatives follow from their impedance
// (z_re, z_im) alone: exact, and no further evaluation. False for the others,
// and where a value the formula divides by is zero.
bool closed_form(const Element& e, const double* p, std::span<const double> omegas,
                 const double* z_re, const double* z_im, std::size_t index, Scratch& s) {
  switch (e.kind()) {
    case Kind::R:
      fill_row(s, index, omegas, z_re, z_im, [](Complex, double) { return Complex{1.0, 0.0}; });
      return true;
    case Kind::L:
      fill_row(s, index, omegas, z_re, z_im, [](Complex, double w) { return Complex{0.0, w}; });
      return true;
    case Kind::W:  // (1 - j) / sqrt(omega)
      fill_row(s, index, omegas, z_re, z_im, [](Complex, double w) {
        return cdiv({1.0, -1.0}, {std::sqrt(w), 0.0});
      });
      return true;
    case Kind::C: {  // -Z / c
      if (p[0] == 0.0) return false;
      const double c = p[0];
      fill_row(s, index, omegas, z_re, z_im,
               [c](Complex z, double) { return cscale(z, -1.0 / c); });
      return true;
    }
    case Kind::Cpe: {  // -Z / q, and -Z log(j omega)
      if (p[0] == 0.0) return false;
      const double q = p[0];
      fill_row(s, index, omegas, z_re, z_im,
               [q](Complex z, double) { return cscale(z, -1.0 / q); });
      fill_row(s, index + 1, omegas, z_re, z_im,
               [](Complex z, double w) { return cscale(cmul(z, log_jomega(w)), -1.0); });
      return true;
    }
    case Kind::La: {  // alpha Z / l, and Z log(j omega l)
      if (!(p[0] > 0.0)) return false;
      const double l = p[0], alpha = p[1];
      fill_row(s, index, omegas, z_re, z_im,
               [l, alpha](Complex z, double) { return cscale(z, alpha / l); });
      fill_row(s, index + 1, omegas, z_re, z_im, [l](Complex z, double w) {
        return cmul(z, Complex{std::log(w * l), kHalfPi});
      });
      return true;
    }
    default:
      return false;
  }
}

void leaf_derivatives(const Element& e, const double* p, std::span<const double> omegas,
                      const double* z_re, const double* z_im, std::size_t index, Scratch& s) {
  const std::size_t n = omegas.size();
  const int count = e.count();
  if (!e.custom_definition() && closed_form(e, p, omegas, z_re, z_im, index, s)) return;
  if (const CustomDefinition* d = e.custom_definition()) {
    evaluate_formula_block_derivatives(d->tape(), p, omegas, s.d_re.data() + index * kBlock,
                                       s.d_im.data() + index * kBlock, kBlock);
    return;
  }
  std::array<double, kMaxFields> q{};
  std::copy_n(p, count, q.begin());
  double* plus_re = s.differences.data();
  double* plus_im = plus_re + kBlock;
  double* minus_re = plus_im + kBlock;
  double* minus_im = minus_re + kBlock;
  for (int f = 0; f < count; ++f) {
    const std::size_t u = std::size_t(f);
    const double h = difference_step(p[f]);
    q[u] = p[f] + h;
    e.evaluate_block(q.data(), omegas, plus_re, plus_im);
    q[u] = p[f] - h;
    e.evaluate_block(q.data(), omegas, minus_re, minus_im);
    q[u] = p[f];
    double* re = s.d_re.data() + (index + u) * kBlock;
    double* im = s.d_im.data() + (index + u) * kBlock;
    for (std::size_t i = 0; i < n; ++i) {
      re[i] = (plus_re[i] - minus_re[i]) / (h + h);
      im[i] = (plus_im[i] - minus_im[i]) / (h + h);
    }
  }
}

// The series list's impedance into (z_re, z_im); its parameters' rows are
// filled from `index` on, which advances past them.
void series(const SeriesList& nodes, const double* params, std::size_t& index,
            std::span<const double> omegas, double* z_re, double* z_im, Scratch& s,
            std::size_t depth) {
  const std::size_t n = omegas.size();
  std::fill_n(z_re, n, 0.0);
  std::fill_n(z_im, n, 0.0);
  double* t_re = s.level(depth, 0);
  double* t_im = s.level(depth, 1);
  double* y_re = s.level(depth, 2);
  double* y_im = s.level(depth, 3);
  for (const Node& node : nodes) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      const Element& e = leaf->element;
      e.evaluate_block(params + index, omegas, t_re, t_im);
      leaf_derivatives(e, params + index, omegas, t_re, t_im, index, s);
      index += std::size_t(e.count());
      for (std::size_t i = 0; i < n; ++i) z_re[i] += t_re[i], z_im[i] += t_im[i];
      continue;
    }
    // Z = 1 / sum(1 / Zb): dZ = Z^2 sum(dZb / Zb^2).
    const std::size_t first = index;
    std::fill_n(y_re, n, 0.0);
    std::fill_n(y_im, n, 0.0);
    for (const SeriesList& branch : std::get<ParallelNode>(node.value).branches) {
      const std::size_t start = index;
      series(branch, params, index, omegas, t_re, t_im, s, depth + 1);
      for (std::size_t i = 0; i < n; ++i) {
        const Complex r = crecip({t_re[i], t_im[i]});
        y_re[i] += r.real(), y_im[i] += r.imag();
        const Complex sq = cmul(r, r);  // 1 / Zb^2, in place of the branch value
        t_re[i] = sq.real(), t_im[i] = sq.imag();
      }
      for (std::size_t j = start; j < index; ++j) scale_row(s, j, t_re, t_im, n);
    }
    for (std::size_t i = 0; i < n; ++i) {
      const Complex zp = crecip({y_re[i], y_im[i]});
      z_re[i] += zp.real(), z_im[i] += zp.imag();
      const Complex sq = cmul(zp, zp);
      t_re[i] = sq.real(), t_im[i] = sq.imag();
    }
    for (std::size_t j = first; j < index; ++j) scale_row(s, j, t_re, t_im, n);
  }
}

}  // namespace

void impedance_derivatives_at(const SeriesList& nodes, std::span<const double> params,
                              std::span<const double> omegas, std::span<Complex> z,
                              std::span<Complex> dz) {
  const std::size_t count = param_count(nodes);
  const std::size_t points = omegas.size();
  if (count > params.size() || z.size() != points || dz.size() != count * points)
    invariant_failed("impedance_derivatives_at: sizes do not match");
  Scratch s(std::size_t(nesting_depth(nodes)), count);
  double* z_re = s.level(0, 2);
  double* z_im = s.level(0, 3);
  for (std::size_t start = 0; start < points; start += kBlock) {
    const std::size_t n = std::min(kBlock, points - start);
    std::size_t index = 0;
    series(nodes, params.data(), index, omegas.subspan(start, n), z_re, z_im, s, 1);
    for (std::size_t i = 0; i < n; ++i) z[start + i] = {z_re[i], z_im[i]};
    for (std::size_t j = 0; j < count; ++j) {
      for (std::size_t i = 0; i < n; ++i) {
        dz[j * points + start + i] = {s.d_re[j * kBlock + i], s.d_im[j * kBlock + i]};
      }
    }
  }
}

}  // namespace kelvara
