#include "models/topology.hpp"

#include <algorithm>
#include <array>

#include "circuit/parser.hpp"
#include "circuit/tree_utils.hpp"

namespace kelvara::models {
namespace {

struct Shape {
  std::string key;
  Span leaf{0, 0};                           // for an element
  std::vector<std::vector<Shape>> branches;  // for a parallel block, sorted
};

std::string series_key(const std::vector<Shape>& shapes) {
  std::string key = "[";
  for (std::size_t i = 0; i < shapes.size(); ++i) key += (i ? "," : "") + shapes[i].key;
  return key + "]";
}

void sort_by_key(std::vector<Shape>& shapes) {
  std::stable_sort(shapes.begin(), shapes.end(),
                   [](const Shape& a, const Shape& b) { return a.key < b.key; });
}

// Shapes of a series list with its parameters numbered from `counter` in
// written order (the parameter-vector order), then sorted by key.
std::vector<Shape> shapes(const SeriesList& nodes, std::size_t& counter) {
  std::vector<Shape> out;
  for (const Node& node : nodes) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      const auto n = std::size_t(leaf->element.count());
      out.push_back({std::string(leaf->element.info().name), {counter, n}, {}});
      counter += n;
      continue;
    }
    std::vector<std::pair<std::string, std::vector<Shape>>> keyed;
    for (const SeriesList& branch : std::get<ParallelNode>(node.value).branches) {
      auto s = shapes(branch, counter);
      keyed.emplace_back(series_key(s), std::move(s));
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Shape block{"(", {0, 0}, {}};
    for (std::size_t i = 0; i < keyed.size(); ++i) {
      block.key += (i ? "," : "") + keyed[i].first;
      block.branches.push_back(std::move(keyed[i].second));
    }
    block.key += ")";
    out.push_back(std::move(block));
  }
  sort_by_key(out);
  return out;
}

void collect_spans(const std::vector<Shape>& shapes, std::vector<Span>& out) {
  for (const Shape& s : shapes) {
    if (s.branches.empty() && s.key[0] != '(') {
      out.push_back(s.leaf);
    } else {
      for (const auto& branch : s.branches) collect_spans(branch, out);
    }
  }
}

}  // namespace

Canonical canonical(const SeriesList& nodes) {
  std::size_t counter = 0;
  const auto s = shapes(nodes, counter);
  Canonical out{series_key(s), {}};
  collect_spans(s, out.spans);
  return out;
}

std::optional<Permutation> match_topology(const SeriesList& model, const SeriesList& user) {
  const Canonical m = canonical(model), u = canonical(user);
  if (m.key != u.key) return std::nullopt;
  std::size_t n = 0;
  for (const Span& s : u.spans) n += s.count;
  Permutation perm(n, 0);
  for (std::size_t k = 0; k < u.spans.size(); ++k) {
    for (std::size_t j = 0; j < u.spans[k].count; ++j)
      perm[u.spans[k].start + j] = m.spans[k].start + j;
  }
  return perm;
}

std::optional<Match> match_or_expand(const SeriesList& model, const SeriesList& user) {
  if (auto perm = match_topology(model, user)) return Match{std::move(*perm), false};
  bool expanded = false;
  const SeriesList user_expanded = expand_series(user, expanded);
  if (!expanded) return std::nullopt;
  if (auto perm = match_topology(model, user_expanded)) return Match{std::move(*perm), true};
  return std::nullopt;
}

std::optional<RegistryMatch> find_for_topology(const SeriesList& user) {
  // The registry never changes: its circuits are parsed once, not per fit.
  static const std::array<ParseOutcome, kModelCount> parsed = [] {
    std::array<ParseOutcome, kModelCount> out;
    for (std::size_t i = 0; i < kModelCount; ++i) out[i] = parse(all()[i].circuit);
    return out;
  }();
  for (std::size_t i = 0; i < kModelCount; ++i) {
    if (parsed[i].error) continue;
    if (auto match = match_or_expand(parsed[i].tree, user))
      return RegistryMatch{std::move(*match), &all()[i]};
  }
  return std::nullopt;
}

}  // namespace kelvara::models
