#include "python/circuit_text.hpp"

#include "circuit/parser.hpp"
#include "models/registry.hpp"
#include "python/py.hpp"

namespace kelvara::py {

SeriesList tree_from_text(const std::string& s, const CustomCatalogue* custom) {
  const models::Model* model = model_by_key(s);
  const std::string_view text = model ? model->circuit : std::string_view(s);
  ParseOutcome parsed = parse(text, custom);
  if (parsed.error) raise(PyExc_ValueError, parse_error_report(text, *parsed.error, custom));
  return std::move(parsed.tree);
}

}  // namespace kelvara::py
