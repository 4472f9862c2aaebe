#include "circuit/tree.hpp"

#include <map>
#include <variant>

#include "circuit/tree_utils.hpp"
#include "support/invariant.hpp"

namespace kelvara {

// A walk rather than collect_leaves: the exact derivatives count once per point and
// must not allocate.
std::size_t param_count(const SeriesList& nodes) {
  std::size_t n = 0;
  for (const Node& node : nodes) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      n += std::size_t(leaf->element.count());
    } else {
      for (const SeriesList& branch : std::get<ParallelNode>(node.value).branches)
        n += param_count(branch);
    }
  }
  return n;
}

std::vector<std::string> param_names(const SeriesList& nodes) {
  std::vector<std::string> out;
  std::map<std::string_view, int> counters;
  for (const Leaf* leaf : collect_leaves(nodes)) {
    std::string prefix;
    if (leaf->label) {
      prefix = *leaf->label;
    } else {
      const std::string_view kind = leaf->element.info().name;
      prefix = std::string(kind) + std::to_string(counters[kind]++);
    }
    for (std::string_view field : leaf->element.names()) {
      out.push_back(prefix + "." + std::string(field));
    }
  }
  return out;
}

std::vector<std::string> param_units(const SeriesList& nodes) {
  std::vector<std::string> out;
  for (const Leaf* leaf : collect_leaves(nodes)) {
    for (std::string_view unit : leaf->element.units()) out.emplace_back(unit);
  }
  return out;
}

std::vector<Bounds> param_bounds(const SeriesList& nodes) {
  std::vector<Bounds> out;
  for (const Leaf* leaf : collect_leaves(nodes)) {
    const auto bounds = leaf->element.bounds();
    out.insert(out.end(), bounds.begin(), bounds.begin() + leaf->element.count());
  }
  return out;
}

std::vector<double> param_values(const SeriesList& nodes) {
  std::vector<double> out;
  for (const Leaf* leaf : collect_leaves(nodes)) {
    const auto values = leaf->element.values();
    out.insert(out.end(), values.begin(), values.end());
  }
  return out;
}

namespace {

SeriesList rebuild_from(const SeriesList& nodes, ValueCursor& values) {
  SeriesList out;
  out.reserve(nodes.size());
  for (const Node& node : nodes) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      const int n = leaf->element.count();
      const double* p = values.take(n);
      if (!p) invariant_failed("rebuild: not enough values supplied");
      out.push_back(Node{Leaf{leaf->element.with_values({p, std::size_t(n)}), leaf->label}});
    } else {
      ParallelNode group;
      for (const SeriesList& branch : std::get<ParallelNode>(node.value).branches) {
        group.branches.push_back(rebuild_from(branch, values));
      }
      out.push_back(Node{std::move(group)});
    }
  }
  return out;
}

}  // namespace

SeriesList rebuild(const SeriesList& nodes, std::span<const double> values) {
  ValueCursor cursor(values);
  return rebuild_from(nodes, cursor);
}

}  // namespace kelvara
