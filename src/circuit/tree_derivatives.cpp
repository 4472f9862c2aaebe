#include "circuit/tree_derivatives.hpp"

#include <array>
#include <cmath>

#include "circuit/tree.hpp"
#include "circuit/tree_utils.hpp"
#include "elements/custom_element.hpp"
#include "support/difference_step.hpp"
#include "support/invariant.hpp"

namespace kelvara {
namespace {

Complex leaf_derivatives(const Element& e, const double* p, double omega, Complex* dz) {
  if (const CustomDefinition* d = e.custom_definition())
    return evaluate_formula_derivatives(d->tape(), p, omega, {dz, std::size_t(e.count())});
  std::array<double, kMaxFields> q{};
  for (int i = 0; i < e.count(); ++i) q[std::size_t(i)] = p[i];
  for (int i = 0; i < e.count(); ++i) {
    const double h = difference_step(p[i]);
    q[std::size_t(i)] = p[i] + h;
    const Complex plus = Element::impedance_of(e.kind(), q.data(), omega);
    q[std::size_t(i)] = p[i] - h;
    const Complex minus = Element::impedance_of(e.kind(), q.data(), omega);
    q[std::size_t(i)] = p[i];
    dz[i] = {(plus.real() - minus.real()) / (h + h), (plus.imag() - minus.imag()) / (h + h)};
  }
  return Element::impedance_of(e.kind(), p, omega);
}

// The series list's impedance; its parameters' derivatives land in dz from
// `index` on, which advances past them.
Complex series(const SeriesList& nodes, const double* params, std::size_t& index, double omega,
               Complex* dz) {
  Complex z{0.0, 0.0};
  for (const Node& node : nodes) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      z = cadd(z, leaf_derivatives(leaf->element, params + index, omega, dz + index));
      index += std::size_t(leaf->element.count());
      continue;
    }
    // Z = 1 / sum(1 / Zb): dZ = Z^2 sum(dZb / Zb^2), each branch's columns
    // first divided by its Zb^2, then all by 1 / Z^2.
    const std::size_t first = index;
    Complex y{0.0, 0.0};
    for (const SeriesList& branch : std::get<ParallelNode>(node.value).branches) {
      const std::size_t start = index;
      const Complex zb = series(branch, params, index, omega, dz);
      y = cadd(y, crecip(zb));
      const Complex inv_sq = crecip(cmul(zb, zb));
      for (std::size_t j = start; j < index; ++j) dz[j] = cmul(dz[j], inv_sq);
    }
    const Complex zp = crecip(y);
    const Complex sq = cmul(zp, zp);
    for (std::size_t j = first; j < index; ++j) dz[j] = cmul(dz[j], sq);
    z = cadd(z, zp);
  }
  return z;
}

}  // namespace

bool has_custom_leaves(const SeriesList& nodes) {
  for (const Leaf* leaf : collect_leaves(nodes))
    if (leaf->element.custom_definition()) return true;
  return false;
}

Complex impedance_derivatives(const SeriesList& nodes, std::span<const double> params, double omega,
                              std::span<Complex> dz) {
  const std::size_t n = param_count(nodes);
  if (n > params.size() || n > dz.size())
    invariant_failed("impedance_derivatives: not enough values supplied");
  std::size_t index = 0;
  return series(nodes, params.data(), index, omega, dz.data());
}

}  // namespace kelvara
