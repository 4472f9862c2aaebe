#pragma once
// A circuit from the text a user wrote: a registry key (any case, trimmed)
// stands for its notation; anything else is notation, parsed as given.

#include <string>

#include "circuit/node.hpp"
#include "circuit/parser.hpp"

namespace kelvara::py {

// Raises ValueError with the parser's full report for bad notation. With
// `custom`, the codes defined there parse too (kelvara_lab's engine).
SeriesList tree_from_text(const std::string& text, const CustomCatalogue* custom = nullptr);

}  // namespace kelvara::py
