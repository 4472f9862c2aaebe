#pragma once
// The circuit notation: "R0-(R1,C1)", "L0-R0-p(R1-W1,CPE1)".
//
//   circuit := series END
//   series  := item ("-" item)*
//   item    := "(" body | "p(" body | element
//   body    := series ("," series)* ")"
//   element := [A-Za-z]+ [0-9]+        (code, then number; the whole is the label)
//
// No white space anywhere. Positions in errors count Unicode characters.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "circuit/node.hpp"

namespace kelvara {

struct ParseError {
  enum class Kind {
    UnexpectedChar,
    UnexpectedEnd,
    UnknownCode,
    TrailingInput,
    DuplicateLabel,
    NestedTooDeep
  };

  Kind kind;
  std::size_t position = 0;  // UnexpectedChar, UnknownCode, TrailingInput, NestedTooDeep
  std::string text;          // the code (UnknownCode) or the label (DuplicateLabel)

  std::string message() const;
  bool has_position() const {
    return kind == Kind::UnexpectedChar || kind == Kind::UnknownCode ||
           kind == Kind::TrailingInput || kind == Kind::NestedTooDeep;
  }
};

struct ParseOutcome {
  SeriesList tree;
  std::optional<ParseError> error;
};

// Deeper parenthesis nesting than this is rejected (NestedTooDeep, at the
// first opening parenthesis past the limit) so that no input can exhaust the
// stack of the recursive parser or of the tree walks after it.
inline constexpr int kMaxNesting = 200;

class CustomCatalogue;

// With `custom`, a code that is no built-in element's is looked up there
// (kelvara_lab's engine parses so; kelvara's own notation never does).
ParseOutcome parse(std::string_view text, const CustomCatalogue* custom = nullptr);

// The multi-line report users see for a failed parse: the message, an echo
// of the input with a caret under the position, a syntax reminder and the
// list of elements with their parameters and units (the custom ones after
// the built-ins when `custom` is given).
std::string parse_error_report(std::string_view text, const ParseError& error,
                               const CustomCatalogue* custom = nullptr);

}  // namespace kelvara
