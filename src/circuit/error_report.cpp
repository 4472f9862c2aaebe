// The notation help that accompanies every parse error.

#include "circuit/parser.hpp"
#include "support/invariant.hpp"

namespace kelvara {

std::string parse_error_report(std::string_view text, const ParseError& error) {
  std::string out = error.message();
  if (error.has_position()) {
    out += "\n\n  ";
    out += text;
    out += "\n  ";
    out.append(error.position, ' ');
    out += '^';
  }
  out +=
      "\n\nsyntax:\n"
      "  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\"\n"
      "  - connect elements in series with '-', e.g. \"R0-C1\"\n"
      "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or "
      "\"R0-p(R1,C1)\"\n"
      "\n"
      "available elements (code, parameters, [units]):";
  // Built from the catalogue each time, so the help can never drift from it.
  for (std::string_view code : Element::CODES) {
    const auto element = Element::default_for_code(code);
    if (!element) invariant_failed("Element::CODES entries must all be valid");
    std::string line = "\n  ";
    line += code;
    line.append(code.size() < 4 ? 4 - code.size() : 0, ' ');
    line += "  ";
    const auto names = element->names();
    const auto units = element->units();
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (i) line += ", ";
      line += names[i];
      line += " [";
      line += units[i];
      line += ']';
    }
    out += line;
  }
  return out;
}

}  // namespace kelvara
