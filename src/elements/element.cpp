#include "elements/element.hpp"

#include <limits>

#include "elements/element_formulas.hpp"

namespace kelvara {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

Bounds bounds_for_field(std::string_view field) {
  if (field == "alpha" || field == "gamma") return {0.0, 1.0};
  return {1e-12, kInf};
}

std::optional<Element> Element::default_for_code(std::string_view code) {
  for (int k = 0; k < kKindCount; ++k) {
    if (code == kind_info(k).name || code == CODES[k]) {
      return Element(static_cast<Kind>(k), kind_info(k).defaults);
    }
  }
  return std::nullopt;
}

Element Element::from_values(Kind kind, std::span<const double> values) {
  const int n = kind_info(kind).count;
  if (values.size() < std::size_t(n)) {
    invariant_failed("Element::with_values: " + std::to_string(n) + " values needed, " +
                     std::to_string(values.size()) + " supplied");
  }
  std::array<double, kMaxFields> fields{};
  for (int i = 0; i < n; ++i) fields[i] = values[i];
  return Element(kind, fields);
}

std::array<Bounds, kMaxFields> Element::bounds() const {
  std::array<Bounds, kMaxFields> out{};
  for (int i = 0; i < count(); ++i) out[i] = bounds_for_field(info().fields[i]);
  return out;
}

Complex Element::impedance_of(Kind kind, const double* p, double omega) {
  return impedance_formula(kind, p, omega);
}

}  // namespace kelvara
