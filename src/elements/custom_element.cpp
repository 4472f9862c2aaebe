#include "elements/custom_element.hpp"

#include <cmath>
#include <set>

#include "support/text_format.hpp"

namespace kelvara {
namespace {

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_identifier(std::string_view s) {
  if (s.empty() || s.size() > 32) return false;
  if (!(is_ascii_letter(s[0]) || s[0] == '_')) return false;
  for (char c : s)
    if (!(is_ascii_letter(c) || c == '_' || (c >= '0' && c <= '9'))) return false;
  return true;
}

bool is_builtin_code(std::string_view code) { return Element::default_for_code(code).has_value(); }

std::optional<std::string> check_code(const std::string& code) {
  if (code.empty() || code.size() > kMaxCustomCodeLength)
    return "element code must be 1 to " + std::to_string(kMaxCustomCodeLength) +
           " ASCII letters, got " + debug_quote(code);
  for (char c : code)
    if (!is_ascii_letter(c))
      return "element code must be ASCII letters only (the notation adds the number, as in "
             "\"HN1\"), got " +
             debug_quote(code);
  if (is_builtin_code(code))
    return "element code " + debug_quote(code) + " is a built-in element's; choose another";
  if (code == "p") return std::string("element code \"p\" would read as a parallel group \"p(\"");
  return std::nullopt;
}

std::optional<std::string> check_parameter(const CustomParameter& p) {
  const std::string who = "parameter " + debug_quote(p.name);
  if (!is_identifier(p.name))
    return "parameter name must be an identifier (letters, digits, _; at most 32), got " +
           debug_quote(p.name);
  if (is_reserved_formula_name(p.name)) return who + " is a reserved name of the formula language";
  if (p.unit.size() > kMaxCustomUnitLength)
    return who + ": unit longer than " + std::to_string(kMaxCustomUnitLength) + " bytes";
  for (char c : p.unit)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return who + ": unit has a control character";
  const Bounds b = p.bounds;
  if (std::isnan(b.lo) || std::isnan(b.hi) || !(b.lo < b.hi) || !std::isfinite(b.lo))
    return who + ": bounds must satisfy lo < hi with lo finite, got (" + format_debug(b.lo) + ", " +
           format_debug(b.hi) + ")";
  if (!std::isfinite(p.default_value) || p.default_value < b.lo || p.default_value > b.hi)
    return who + ": default " + format_debug(p.default_value) + " lies outside its bounds (" +
           format_debug(b.lo) + ", " + format_debug(b.hi) + ")";
  const bool open = !std::isfinite(b.hi);
  if (p.log_scale != open) {
    return who + (open ? ": an open upper bound is always fitted on a log scale (log10(p - lo)); "
                         "give a finite upper bound for a linear scale"
                       : ": a log scale needs an open upper bound (hi = inf); the solver works "
                         "linearly inside a finite box");
  }
  // The solver works in log10(p - lo): the default must lie strictly above lo.
  if (open && !(p.default_value > b.lo))
    return who + ": default must lie above its lower bound " + format_debug(b.lo);
  return std::nullopt;
}

}  // namespace

std::variant<CustomDefinitionPtr, DefinitionError> CustomDefinition::make(
    std::string code, std::string formula, std::vector<CustomParameter> parameters) {
  if (auto e = check_code(code)) return DefinitionError{*e};
  if (parameters.empty()) return DefinitionError{"an element needs at least one parameter"};
  if (parameters.size() > kMaxFormulaParameters)
    return DefinitionError{"an element takes at most " + std::to_string(kMaxFormulaParameters) +
                           " parameters, got " + std::to_string(parameters.size())};
  std::set<std::string> seen;
  std::vector<std::string> names;
  for (const CustomParameter& p : parameters) {
    if (auto e = check_parameter(p)) return DefinitionError{*e};
    if (!seen.insert(p.name).second)
      return DefinitionError{"parameter " + debug_quote(p.name) + " is declared twice"};
    names.push_back(p.name);
  }
  FormulaCompilation compiled = compile_formula(formula, names);
  if (compiled.error)
    return DefinitionError{"in the formula of " + code + ": " +
                           formula_error_report(formula, *compiled.error)};
  for (std::size_t i = 0; i < parameters.size(); ++i) {
    if (!((compiled.tape->uses >> i) & 1u))
      return DefinitionError{"parameter " + debug_quote(parameters[i].name) +
                             " does not appear in the formula of " + code +
                             " (a fit could not determine it)"};
  }
  std::shared_ptr<CustomDefinition> d(new CustomDefinition());
  d->code_ = std::move(code);
  d->formula_ = std::move(formula);
  d->parameters_ = std::move(parameters);
  d->tape_ = std::move(*compiled.tape);
  d->info_.name = d->code_;
  d->info_.count = int(d->parameters_.size());
  for (std::size_t i = 0; i < d->parameters_.size(); ++i) {
    const CustomParameter& p = d->parameters_[i];
    d->info_.fields[i] = p.name;
    d->info_.units[i] = p.unit.empty() ? std::string_view("-") : std::string_view(p.unit);
    d->info_.defaults[i] = p.default_value;
  }
  return CustomDefinitionPtr(std::move(d));
}

void CustomCatalogue::define(CustomDefinitionPtr definition) {
  std::lock_guard lock(mutex_);
  by_code_[definition->code()] = std::move(definition);
}

bool CustomCatalogue::forget(std::string_view code) {
  std::lock_guard lock(mutex_);
  const auto it = by_code_.find(code);
  if (it == by_code_.end()) return false;
  by_code_.erase(it);
  return true;
}

CustomDefinitionPtr CustomCatalogue::find(std::string_view code) const {
  std::lock_guard lock(mutex_);
  const auto it = by_code_.find(code);
  return it == by_code_.end() ? nullptr : it->second;
}

std::vector<CustomDefinitionPtr> CustomCatalogue::all() const {
  std::lock_guard lock(mutex_);
  std::vector<CustomDefinitionPtr> out;
  for (const auto& [code, definition] : by_code_) out.push_back(definition);
  return out;
}

}  // namespace kelvara
