#pragma once
// The fourteen equivalent-circuit elements: codes, fields, units, defaults,
// bounds and impedance formulas.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "elements/complex_math.hpp"

namespace kelvara {

// Kind index order is fixed: it orders the catalogue, the help listing and
// the Python classes alike.
// Custom is a user-defined element (elements/custom_element.hpp): it is not
// in the catalogue and only a parse given a custom catalogue produces one.
enum class Kind : std::uint8_t { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T, Custom };

inline constexpr int kKindCount = 14;  // the catalogue's kinds
inline constexpr int kMaxFields = 8;   // the built-ins use up to 4, custom elements up to 8

struct KindInfo {
  std::string_view name;  // "Cpe", "Tlmq": used by reprs, labels, classes
  int count;
  std::array<std::string_view, kMaxFields> fields;
  std::array<std::string_view, kMaxFields> units;
  std::array<double, kMaxFields> defaults;
};

// Fields in storage order; "-" means dimensionless.
inline constexpr std::array<KindInfo, kKindCount> kCatalogue = {{
    {"R", 1, {"r"}, {"ohm"}, {1.0}},
    {"C", 1, {"c"}, {"F"}, {1e-3}},
    {"L", 1, {"l"}, {"H"}, {1e-6}},
    {"La", 2, {"l", "alpha"}, {"H*s", "-"}, {1e-6, 0.8}},
    {"Cpe", 2, {"q", "alpha"}, {"ohm^-1*s^alpha", "-"}, {1e-3, 0.8}},
    {"W", 1, {"aw"}, {"ohm*s^-0.5"}, {1.0}},
    {"Wo", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"Ws", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {"G", 2, {"rg", "tg"}, {"ohm", "s"}, {1.0, 1.0}},
    {"Gs", 3, {"rg", "tg", "phi"}, {"ohm", "s", "-"}, {1.0, 1.0, 1.0}},
    {"K", 2, {"r", "tau_k"}, {"ohm", "s"}, {1.0, 1e-3}},
    {"Zarc", 3, {"r", "tau_k", "gamma"}, {"ohm", "s", "-"}, {1.0, 1e-3, 0.8}},
    {"Tlmq", 3, {"r_ion", "qs", "gamma"}, {"ohm", "F*s^(gamma-1)", "-"}, {1.0, 1e-3, 0.8}},
    {"T", 4, {"a", "b", "k_tau", "tau"}, {"ohm*m^2", "ohm*m^2", "-", "s"}, {1.0, 1.0, 1.0, 1.0}},
}};

inline const KindInfo& kind_info(Kind kind) { return kCatalogue[static_cast<int>(kind)]; }
inline const KindInfo& kind_info(int index) { return kCatalogue[index]; }

struct Bounds {
  double lo;
  double hi;
};

// Search bounds depend only on the field name: exponents live in [0, 1],
// everything else is positive and open above.
Bounds bounds_for_field(std::string_view field);

class CustomDefinition;

class Element {
 public:
  // The help-text spellings, in kind order.
  static constexpr std::array<std::string_view, kKindCount> CODES = {
      "R", "C", "L", "La", "CPE", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "TLMQ", "T"};

  // Element of the kind spelled `code` (a kind name or a CODES entry,
  // byte-exact) with its default values; nothing for any other text.
  static std::optional<Element> default_for_code(std::string_view code);

  // Element of `kind` with the first count(kind) entries of `values`.
  // Fewer values are an invariant failure.
  static Element from_values(Kind kind, std::span<const double> values);

  // A custom element of `definition` with its default values.
  static Element custom(std::shared_ptr<const CustomDefinition> definition);

  Kind kind() const { return kind_; }
  // The definition of a custom element; nullptr for a built-in one.
  const CustomDefinition* custom_definition() const { return custom_.get(); }
  const KindInfo& info() const { return *info_; }
  int count() const { return info().count; }
  std::span<const double> values() const { return {fields_.data(), std::size_t(count())}; }
  std::span<const std::string_view> names() const {
    return {info().fields.data(), std::size_t(count())};
  }
  std::span<const std::string_view> units() const {
    return {info().units.data(), std::size_t(count())};
  }
  std::array<Bounds, kMaxFields> bounds() const;

  Element with_values(std::span<const double> values) const;

  // Impedance in ohm at angular frequency omega (rad/s).
  Complex impedance(double omega) const;

  // The same formula with the fields read from `p` (count(kind) entries):
  // lets a candidate parameter vector be evaluated without building elements.
  static Complex impedance_of(Kind kind, const double* p, double omega);

  // impedance_of at each of omegas (at most kBlockPoints), written as real
  // and imaginary parts, with the dispatch and the exponent's constants taken
  // once per block. Powers and hyperbolic/circular functions may come from
  // the vector math library (a few ulps from impedance_of); a point's result
  // never depends on the rest of the block.
  static constexpr std::size_t kBlockPoints = 64;
  static void impedance_block(Kind kind, const double* p, std::span<const double> omegas,
                              double* re, double* im);

  // This element's formula (built-in or custom) over a block, fields from `p`.
  void evaluate_block(const double* p, std::span<const double> omegas, double* re,
                      double* im) const;

 private:
  Element(Kind kind, const std::array<double, kMaxFields>& fields)
      : kind_(kind), info_(&kind_info(kind)), fields_(fields) {}

  Kind kind_;
  const KindInfo* info_;  // the catalogue's entry, or the custom definition's
  std::array<double, kMaxFields> fields_;
  std::shared_ptr<const CustomDefinition> custom_;
};

}  // namespace kelvara
