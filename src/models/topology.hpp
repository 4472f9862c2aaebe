#pragma once
// Finding a model by topology. Circuits are reduced to a canonical key that
// ignores labels and the order of series items and parallel branches
// ("R0-(R1,C1)" and "(R1,C2)-R3" are both "[([C],[R]),R]"), with spans that
// say where each element's parameters sit, so that a match yields the
// permutation carrying a model's outputs into the user's parameter order.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "circuit/node.hpp"
#include "models/registry.hpp"

namespace kelvara::models {

struct Span {
  std::size_t start;
  std::size_t count;
  bool operator==(const Span&) const = default;
};

struct Canonical {
  std::string key;
  std::vector<Span> spans;  // leaves in canonical order
};

Canonical canonical(const SeriesList& nodes);

// perm[i] is the model output that feeds the user's parameter i.
using Permutation = std::vector<std::size_t>;

std::optional<Permutation> match_topology(const SeriesList& model, const SeriesList& user);

struct Match {
  Permutation perm;  // in the expanded circuit's order when `expanded`
  bool expanded;
};

// A direct match, else one after expanding the user's K and Zarc elements.
std::optional<Match> match_or_expand(const SeriesList& model, const SeriesList& user);

struct RegistryMatch {
  Match match;
  const Model* model;
};

// The first registry model (in order) whose circuit matches.
std::optional<RegistryMatch> find_for_topology(const SeriesList& user);

}  // namespace kelvara::models
