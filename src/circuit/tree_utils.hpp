#pragma once
// Small walks over circuit trees shared by the parser, the parameter lists,
// topology matching and the by-name parameter assignment.

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "circuit/node.hpp"

namespace kelvara {

// Leaves depth-first, left to right: the order of every parameter vector.
void collect_leaves(const SeriesList& nodes, std::vector<const Leaf*>& out);
std::vector<const Leaf*> collect_leaves(const SeriesList& nodes);

// How many parallel groups deep the tree goes (0 for a plain series list).
int nesting_depth(const SeriesList& nodes);

// A copy of the tree with every K replaced by (R, C) and every Zarc by
// (R, CPE), the pairs they abbreviate. Sets `expanded` when it replaced
// anything; never clears it.
SeriesList expand_series(const SeriesList& nodes, bool& expanded);

// The candidate nearest to `name` in Levenshtein distance over Unicode
// characters (earliest wins a tie), if within max(2, chars(name) / 2).
std::optional<std::string> closest_param_name(std::string_view name,
                                              std::span<const std::string> candidates);

}  // namespace kelvara
