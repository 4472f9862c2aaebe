// The notation help that accompanies every parse error.

#include "circuit/parser.hpp"
#include "elements/custom_element.hpp"
#include "support/invariant.hpp"

namespace kelvara {

namespace {

// "  CODE  field [unit], field [unit]"
std::string element_line(std::string_view code, const KindInfo& info) {
  std::string line = "\n  ";
  line += code;
  line.append(code.size() < 4 ? 4 - code.size() : 0, ' ');
  line += "  ";
  for (int i = 0; i < info.count; ++i) {
    if (i) line += ", ";
    line += info.fields[std::size_t(i)];
    line += " [";
    line += info.units[std::size_t(i)];
    line += ']';
  }
  return line;
}

}  // namespace

std::string parse_error_report(std::string_view text, const ParseError& error,
                               const CustomCatalogue* custom) {
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
    out += element_line(code, element->info());
  }
  if (custom) {
    const auto defined = custom->all();
    if (!defined.empty()) out += "\n\nyour own elements:";
    for (const CustomDefinitionPtr& d : defined) out += element_line(d->code(), d->info());
  }
  return out;
}

}  // namespace kelvara
