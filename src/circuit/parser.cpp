#include "circuit/parser.hpp"

#include <set>

#include "circuit/tree_utils.hpp"
#include "elements/custom_element.hpp"
#include "support/utf8.hpp"

namespace kelvara {
namespace {

bool is_ascii_letter(char32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_ascii_digit(char32_t c) { return c >= '0' && c <= '9'; }

class Parser {
 public:
  Parser(std::u32string chars, const CustomCatalogue* custom)
      : s_(std::move(chars)), custom_(custom) {}

  std::optional<ParseError> circuit(SeriesList& out) {
    if (auto e = series(out, 0)) return e;
    if (pos_ != s_.size()) return ParseError{ParseError::Kind::TrailingInput, pos_, {}};
    return std::nullopt;
  }

 private:
  bool at(char32_t c) const { return pos_ < s_.size() && s_[pos_] == c; }

  std::optional<ParseError> series(SeriesList& out, int depth) {
    for (;;) {
      Node node;
      if (auto e = item(node, depth)) return e;
      out.push_back(std::move(node));
      if (!at('-')) return std::nullopt;
      ++pos_;
    }
  }

  std::optional<ParseError> item(Node& out, int depth) {
    const std::size_t start = pos_;
    if (at('(')) {
      ++pos_;
    } else if (at('p') && pos_ + 1 < s_.size() && s_[pos_ + 1] == '(') {
      pos_ += 2;
    } else {
      return element(out);
    }
    if (depth + 1 > kMaxNesting) return ParseError{ParseError::Kind::NestedTooDeep, start, {}};
    return parallel_body(out, depth + 1);
  }

  std::optional<ParseError> parallel_body(Node& out, int depth) {
    ParallelNode group;
    for (;;) {
      SeriesList branch;
      if (auto e = series(branch, depth)) return e;
      group.branches.push_back(std::move(branch));
      // Anything but ',' or ')' here reads as a group that never closed.
      if (at(',')) {
        ++pos_;
      } else if (at(')')) {
        ++pos_;
        out.value = std::move(group);
        return std::nullopt;
      } else {
        return ParseError{ParseError::Kind::UnexpectedEnd, 0, {}};
      }
    }
  }

  std::optional<ParseError> element(Node& out) {
    if (pos_ >= s_.size()) return ParseError{ParseError::Kind::UnexpectedEnd, 0, {}};
    const std::size_t start = pos_;
    while (pos_ < s_.size() && is_ascii_letter(s_[pos_])) ++pos_;
    if (pos_ == start) return ParseError{ParseError::Kind::UnexpectedChar, start, {}};
    if (pos_ == s_.size()) return ParseError{ParseError::Kind::UnexpectedChar, s_.size(), {}};
    const std::size_t letters_end = pos_;
    while (pos_ < s_.size() && is_ascii_digit(s_[pos_])) ++pos_;
    if (pos_ == letters_end) return ParseError{ParseError::Kind::UnexpectedChar, letters_end, {}};

    // Letters and digits are ASCII, so the code points are the bytes.
    const std::string code(s_.begin() + std::ptrdiff_t(start),
                           s_.begin() + std::ptrdiff_t(letters_end));
    const std::string label(s_.begin() + std::ptrdiff_t(start), s_.begin() + std::ptrdiff_t(pos_));
    auto element = Element::default_for_code(code);
    if (!element && custom_) {
      if (CustomDefinitionPtr definition = custom_->find(code))
        element = Element::custom(definition);
    }
    if (!element) return ParseError{ParseError::Kind::UnknownCode, start, code};
    out.value = Leaf{*element, label};
    return std::nullopt;
  }

  std::u32string s_;
  const CustomCatalogue* custom_;
  std::size_t pos_ = 0;
};

}  // namespace

std::string ParseError::message() const {
  switch (kind) {
    case Kind::UnexpectedChar:
      return "unexpected character at position " + std::to_string(position);
    case Kind::UnexpectedEnd:
      return "unexpected end of input";
    case Kind::UnknownCode:
      return "unknown element code \"" + text + "\" at position " + std::to_string(position);
    case Kind::TrailingInput:
      return "unexpected trailing input at position " + std::to_string(position);
    case Kind::DuplicateLabel:
      return "duplicate element label \"" + text + "\"";
    case Kind::NestedTooDeep:
      return "circuit is nested more than " + std::to_string(kMaxNesting) +
             " parallel groups deep at position " + std::to_string(position);
  }
  return {};
}

ParseOutcome parse(std::string_view text, const CustomCatalogue* custom) {
  ParseOutcome result;
  Parser parser(decode_utf8(text), custom);
  if (auto e = parser.circuit(result.tree)) {
    result.tree.clear();
    result.error = std::move(e);
    return result;
  }
  std::set<std::string_view> seen;
  for (const Leaf* leaf : collect_leaves(result.tree)) {
    if (!leaf->label) continue;
    if (!seen.insert(*leaf->label).second) {
      result.error = ParseError{ParseError::Kind::DuplicateLabel, 0, *leaf->label};
      result.tree.clear();
      return result;
    }
  }
  return result;
}

}  // namespace kelvara
