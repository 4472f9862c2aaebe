#pragma once
// A circuit tree: a series list of nodes, each a labelled element (leaf) or
// a parallel group of branches, every branch itself a series list. Trees are
// plain values; copying one copies everything.

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "elements/element.hpp"

namespace kelvara {

struct Node;
using SeriesList = std::vector<Node>;

struct Leaf {
  Element element;
  std::optional<std::string> label;  // parsed leaves always have one
};

struct ParallelNode {
  std::vector<SeriesList> branches;
};

struct Node {
  std::variant<ParallelNode, Leaf> value;  // default: an empty group
};

}  // namespace kelvara
