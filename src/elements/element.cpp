#include "elements/element.hpp"

#include <limits>

#include "elements/custom_element.hpp"
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
  if (kind == Kind::Custom)
    invariant_failed("Element::from_values: a custom kind needs its definition");
  const int n = kind_info(kind).count;
  if (values.size() < std::size_t(n)) {
    invariant_failed("Element::with_values: " + std::to_string(n) + " values needed, " +
                     std::to_string(values.size()) + " supplied");
  }
  std::array<double, kMaxFields> fields{};
  for (int i = 0; i < n; ++i) fields[i] = values[i];
  return Element(kind, fields);
}

Element Element::custom(std::shared_ptr<const CustomDefinition> definition) {
  if (!definition) invariant_failed("Element::custom: no definition");
  std::array<double, kMaxFields> fields{};
  const auto& parameters = definition->parameters();
  for (std::size_t i = 0; i < parameters.size(); ++i) fields[i] = parameters[i].default_value;
  Element out(Kind::R, fields);
  out.kind_ = Kind::Custom;
  out.info_ = &definition->info();
  out.custom_ = std::move(definition);
  return out;
}

Element Element::with_values(std::span<const double> values) const {
  if (!custom_) return from_values(kind_, values);
  if (values.size() < std::size_t(count())) {
    invariant_failed("Element::with_values: " + std::to_string(count()) + " values needed, " +
                     std::to_string(values.size()) + " supplied");
  }
  Element out = *this;
  for (int i = 0; i < count(); ++i) out.fields_[i] = values[i];
  return out;
}

Complex Element::impedance(double omega) const {
  if (!custom_) return impedance_of(kind_, fields_.data(), omega);
  double re = 0.0, im = 0.0;
  evaluate_formula_block(custom_->tape(), fields_.data(), {&omega, 1}, &re, &im);
  return {re, im};
}

void Element::evaluate_block(const double* p, std::span<const double> omegas, double* re,
                             double* im) const {
  if (custom_) {
    if (omegas.size() > kBlockPoints) invariant_failed("Element::evaluate_block: block too long");
    evaluate_formula_block(custom_->tape(), p, omegas, re, im);
  } else {
    impedance_block(kind_, p, omegas, re, im);
  }
}

std::array<Bounds, kMaxFields> Element::bounds() const {
  std::array<Bounds, kMaxFields> out{};
  if (custom_) {
    for (int i = 0; i < count(); ++i) out[i] = custom_->parameters()[std::size_t(i)].bounds;
    return out;
  }
  for (int i = 0; i < count(); ++i) out[i] = bounds_for_field(info().fields[i]);
  return out;
}

Complex Element::impedance_of(Kind kind, const double* p, double omega) {
  return impedance_formula(kind, p, omega);
}

}  // namespace kelvara
