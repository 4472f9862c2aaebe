#pragma once
// The flat parameter vector of a circuit tree and its impedance.
//
// Leaves are taken depth-first, left to right, each contributing its fields
// in field order: for "R0-(R1,C1)-W2" the vector is R0.r, R1.r, C1.c, W2.aw.

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "circuit/node.hpp"

namespace kelvara {

// A forward-only read position over a parameter vector, shared by the
// recursive walks so that each leaf takes the next entries.
class ValueCursor {
 public:
  explicit ValueCursor(std::span<const double> values)
      : p_(values.data()), end_(values.data() + values.size()) {}

  // The next n entries, or nullptr when fewer remain.
  const double* take(int n) {
    if (end_ - p_ < n) return nullptr;
    const double* out = p_;
    p_ += n;
    return out;
  }

 private:
  const double* p_;
  const double* end_;
};

std::size_t param_count(const SeriesList& nodes);

// "label.field" for labelled leaves; unlabelled ones take the kind name and a
// per-kind counter ("R0.r", "Cpe1.q") that only unlabelled leaves advance.
std::vector<std::string> param_names(const SeriesList& nodes);
std::vector<std::string> param_units(const SeriesList& nodes);
std::vector<Bounds> param_bounds(const SeriesList& nodes);
std::vector<double> param_values(const SeriesList& nodes);

// A tree of the same shape and labels with the fields taken from `values`
// (at least param_count entries; extra ones are ignored). Too few values are
// an invariant failure.
SeriesList rebuild(const SeriesList& nodes, std::span<const double> values);

// Impedance at angular frequency omega (rad/s) from the stored values.
// Series impedances add; a parallel node is 1 / sum(1 / branch), computed
// with the plain complex division, so a zero, infinite or NaN branch (or no
// branch at all) makes it NaN. The one-point case of the block walk
// (circuit/block_eval.cpp), which allocates only the first time a thread
// meets a tree this deep.
Complex impedance(const SeriesList& nodes, double omega);

// The same with the parameters read from `values` instead of the tree,
// bit-for-bit equal to impedance(rebuild(nodes, values), omega). Running out
// of values is an invariant failure.
Complex series_impedance_with_params(const SeriesList& nodes, ValueCursor& values, double omega);

}  // namespace kelvara
