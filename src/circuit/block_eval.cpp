#include "circuit/block_eval.hpp"

#include <algorithm>
#include <vector>

#include "circuit/tree_utils.hpp"
#include "support/cpu_features.hpp"
#include "support/invariant.hpp"

namespace kelvara {
namespace {

constexpr std::size_t kBlock = Element::kBlockPoints;

// Each nesting level needs a branch (or leaf) result and an admittance sum,
// real and imaginary parts apart.
constexpr std::size_t kLevelDoubles = 4 * kBlock;

struct Level {
  double* t_re;
  double* t_im;
  double* y_re;
  double* y_im;
};

Level level_at(double* scratch, std::size_t depth) {
  double* base = scratch + depth * kLevelDoubles;
  return {base, base + kBlock, base + 2 * kBlock, base + 3 * kBlock};
}

// 1/(a + jb) as crecip computes it, for every point of the block, added to acc.
[[gnu::always_inline]] inline void add_reciprocals(const double* re, const double* im,
                                                   std::size_t n, double* acc_re, double* acc_im) {
  for (std::size_t i = 0; i < n; ++i) {
    const Complex r = crecip({re[i], im[i]});
    acc_re[i] += r.real();
    acc_im[i] += r.imag();
  }
}

// The walk, written once and compiled twice, for the baseline and for AVX2
// (support/cpu_features.hpp): `recurse` is the copy's own entry point.
template <class Params, class Recurse>
[[gnu::always_inline]] inline void walk_body(const SeriesList& nodes, Params& params,
                                             std::span<const double> omegas, double* z_re,
                                             double* z_im, double* scratch, std::size_t depth,
                                             Recurse recurse) {
  const std::size_t n = omegas.size();
  std::fill_n(z_re, n, 0.0);
  std::fill_n(z_im, n, 0.0);
  const Level here = level_at(scratch, depth);
  for (const Node& node : nodes) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      leaf->element.evaluate_block(params(leaf->element), omegas, here.t_re, here.t_im);
      for (std::size_t i = 0; i < n; ++i) {
        z_re[i] += here.t_re[i];
        z_im[i] += here.t_im[i];
      }
    } else {
      std::fill_n(here.y_re, n, 0.0);
      std::fill_n(here.y_im, n, 0.0);
      for (const SeriesList& branch : std::get<ParallelNode>(node.value).branches) {
        recurse(branch, params, omegas, here.t_re, here.t_im, scratch, depth + 1);
        add_reciprocals(here.t_re, here.t_im, n, here.y_re, here.y_im);
      }
      add_reciprocals(here.y_re, here.y_im, n, z_re, z_im);
    }
  }
}

template <class Params>
void walk_baseline(const SeriesList& nodes, Params& params, std::span<const double> omegas,
                   double* z_re, double* z_im, double* scratch, std::size_t depth) {
  walk_body(nodes, params, omegas, z_re, z_im, scratch, depth, walk_baseline<Params>);
}

template <class Params>
[[gnu::target("avx2")]] void walk_avx2(const SeriesList& nodes, Params& params,
                                       std::span<const double> omegas, double* z_re, double* z_im,
                                       double* scratch, std::size_t depth) {
  walk_body(nodes, params, omegas, z_re, z_im, scratch, depth, walk_avx2<Params>);
}

// Scratch for one walk: per-thread and kept, so a walk allocates only when a
// thread first meets a deeper tree. A walk never starts another on its own
// thread, but if one ever did it would get a fresh buffer rather than share.
class ScratchLease {
 public:
  explicit ScratchLease(std::size_t doubles) {
    thread_local std::vector<double> kept;
    thread_local bool kept_in_use = false;
    if (!kept_in_use) {
      if (kept.size() < doubles) kept.resize(doubles);
      buffer_ = &kept;
      in_use_ = &kept_in_use;
      kept_in_use = true;
    } else {
      own_.resize(doubles);
      buffer_ = &own_;
    }
  }
  ~ScratchLease() {
    if (in_use_) *in_use_ = false;
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  double* data() { return buffer_->data(); }

 private:
  std::vector<double> own_;
  std::vector<double>* buffer_ = nullptr;
  bool* in_use_ = nullptr;
};

// A leaf's fields from a parameter vector, in leaf order.
const double* fields_from(ValueCursor& cursor, const Element& e) {
  const double* p = cursor.take(e.count());
  if (!p) invariant_failed("impedance_from_iter: not enough values supplied");
  return p;
}

template <class MakeParams>
void evaluate_blocks(const SeriesList& nodes, MakeParams make_params,
                     std::span<const double> omegas, std::span<Complex> out) {
  if (out.size() != omegas.size()) invariant_failed("impedance_at: output length differs");
  // Levels 1..depth+1 for the walk, plus level 0 for the block's own result.
  ScratchLease lease((std::size_t(nesting_depth(nodes)) + 2) * kLevelDoubles);
  const Level top = level_at(lease.data(), 0);
  const bool avx2 = cpu_has_avx2();
  for (std::size_t start = 0; start < omegas.size(); start += kBlock) {
    const std::size_t n = std::min(kBlock, omegas.size() - start);
    auto params = make_params();
    (avx2 ? walk_avx2<decltype(params)>
          : walk_baseline<decltype(params)>)(nodes, params, omegas.subspan(start, n), top.t_re,
                                             top.t_im, lease.data(), 1);
    for (std::size_t i = 0; i < n; ++i) out[start + i] = {top.t_re[i], top.t_im[i]};
  }
}

}  // namespace

void impedance_at(const SeriesList& nodes, std::span<const double> omegas, std::span<Complex> out) {
  auto stored = [] { return [](const Element& e) { return e.values().data(); }; };
  evaluate_blocks(nodes, stored, omegas, out);
}

void impedance_at(const SeriesList& nodes, std::span<const double> params,
                  std::span<const double> omegas, std::span<Complex> out) {
  // Every block reads the vector from its start, leaf by leaf.
  auto supplied = [params] {
    return
        [cursor = ValueCursor(params)](const Element& e) mutable { return fields_from(cursor, e); };
  };
  evaluate_blocks(nodes, supplied, omegas, out);
}

Complex impedance(const SeriesList& nodes, double omega) {
  Complex z;
  impedance_at(nodes, {&omega, 1}, {&z, 1});
  return z;
}

Complex series_impedance_with_params(const SeriesList& nodes, ValueCursor& values, double omega) {
  // One block, so the caller's cursor is read once and left after the tree's values.
  auto supplied = [&values] {
    return [&values](const Element& e) { return fields_from(values, e); };
  };
  Complex z;
  evaluate_blocks(nodes, supplied, {&omega, 1}, {&z, 1});
  return z;
}

}  // namespace kelvara
