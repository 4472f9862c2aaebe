#pragma once
// Elements defined by users: a code, a formula and its parameters (unit,
// default, bounds, scale), checked and compiled once. A definition is
// immutable and shared: every element and tree made from it holds it alive,
// so redefining a code never changes a circuit already built.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "elements/element.hpp"
#include "elements/formula.hpp"

namespace kelvara {

struct CustomParameter {
  std::string name;
  std::string unit;  // "" or "-" for dimensionless
  double default_value;
  Bounds bounds;
  bool log_scale;  // the solver works in log10(p - lo); an open upper bound, as for the built-ins
};

// The longest code and unit accepted.
inline constexpr std::size_t kMaxCustomCodeLength = 16;
inline constexpr std::size_t kMaxCustomUnitLength = 32;

class CustomDefinition;
using CustomDefinitionPtr = std::shared_ptr<const CustomDefinition>;

struct DefinitionError {
  std::string message;  // the whole report (a formula error carries its caret)
};

class CustomDefinition {
 public:
  // Checks everything a definition must satisfy, in this order: the code
  // (ASCII letters, not a built-in element's), the parameters (identifiers,
  // distinct, not reserved; finite default inside its bounds; lo < hi,
  // lo finite; the log scale exactly where the upper bound is open), the
  // formula (compiled), and every parameter appearing in it.
  static std::variant<CustomDefinitionPtr, DefinitionError> make(
      std::string code, std::string formula, std::vector<CustomParameter> parameters);

  const std::string& code() const { return code_; }
  const std::string& formula() const { return formula_; }
  const std::vector<CustomParameter>& parameters() const { return parameters_; }
  const FormulaTape& tape() const { return tape_; }
  // Names, units and defaults as the catalogue's entries present them
  // (views into this definition).
  const KindInfo& info() const { return info_; }

 private:
  CustomDefinition() = default;

  std::string code_;
  std::string formula_;
  std::vector<CustomParameter> parameters_;
  FormulaTape tape_;
  KindInfo info_{};
};

// A set of definitions by code, safe to read and change from many threads.
class CustomCatalogue {
 public:
  // Adds or replaces `definition` under its code.
  void define(CustomDefinitionPtr definition);
  // Removes a code; false where it was not defined.
  bool forget(std::string_view code);
  CustomDefinitionPtr find(std::string_view code) const;
  std::vector<CustomDefinitionPtr> all() const;  // by code

 private:
  mutable std::mutex mutex_;
  std::map<std::string, CustomDefinitionPtr, std::less<>> by_code_;
};

}  // namespace kelvara
