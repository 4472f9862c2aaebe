#include "circuit/tree_utils.hpp"

#include <algorithm>
#include <cmath>

#include "support/utf8.hpp"

namespace kelvara {

void collect_leaves(const SeriesList& nodes, std::vector<const Leaf*>& out) {
  for (const Node& node : nodes) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      out.push_back(leaf);
    } else {
      for (const SeriesList& branch : std::get<ParallelNode>(node.value).branches) {
        collect_leaves(branch, out);
      }
    }
  }
}

std::vector<const Leaf*> collect_leaves(const SeriesList& nodes) {
  std::vector<const Leaf*> out;
  collect_leaves(nodes, out);
  return out;
}

int nesting_depth(const SeriesList& nodes) {
  int depth = 0;
  for (const Node& node : nodes) {
    if (const auto* group = std::get_if<ParallelNode>(&node.value)) {
      int inner = 0;
      for (const SeriesList& branch : group->branches)
        inner = std::max(inner, nesting_depth(branch));
      depth = std::max(depth, inner + 1);
    }
  }
  return depth;
}

namespace {

Node single_leaf_pair(Element first, Element second) {
  ParallelNode group;
  group.branches.push_back({Node{Leaf{first, std::nullopt}}});
  group.branches.push_back({Node{Leaf{second, std::nullopt}}});
  return Node{std::move(group)};
}

}  // namespace

SeriesList expand_series(const SeriesList& nodes, bool& expanded) {
  SeriesList out;
  out.reserve(nodes.size());
  for (const Node& node : nodes) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      const auto v = leaf->element.values();
      if (leaf->element.kind() == Kind::K) {
        // K(r, tau_k) = R(r) || C(tau_k / r)
        const double r = v[0], c = v[1] / v[0];
        out.push_back(single_leaf_pair(Element::from_values(Kind::R, {&r, 1}),
                                       Element::from_values(Kind::C, {&c, 1})));
        expanded = true;
      } else if (leaf->element.kind() == Kind::Zarc) {
        // Zarc(r, tau_k, gamma) = R(r) || CPE(tau_k^gamma / r, gamma)
        const double r = v[0];
        const double cpe[2] = {std::pow(v[1], v[2]) / v[0], v[2]};
        out.push_back(single_leaf_pair(Element::from_values(Kind::R, {&r, 1}),
                                       Element::from_values(Kind::Cpe, cpe)));
        expanded = true;
      } else {
        out.push_back(node);
      }
    } else {
      ParallelNode group;
      for (const SeriesList& branch : std::get<ParallelNode>(node.value).branches) {
        group.branches.push_back(expand_series(branch, expanded));
      }
      out.push_back(Node{std::move(group)});
    }
  }
  return out;
}

namespace {

std::size_t levenshtein(const std::u32string& a, const std::u32string& b) {
  std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t substitution = prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, substitution});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

}  // namespace

std::optional<std::string> closest_param_name(std::string_view name,
                                              std::span<const std::string> candidates) {
  const std::u32string target = decode_utf8(name);
  const std::string* best = nullptr;
  std::size_t best_distance = 0;
  for (const std::string& candidate : candidates) {
    const std::size_t d = levenshtein(target, decode_utf8(candidate));
    if (!best || d < best_distance) best = &candidate, best_distance = d;
  }
  if (!best || best_distance > std::max<std::size_t>(2, target.size() / 2)) return std::nullopt;
  return *best;
}

}  // namespace kelvara
