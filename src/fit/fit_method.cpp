#include "fit/fit_method.hpp"

namespace kelvara {

std::optional<FitMethod> parse_fit_method(std::string_view name) {
  for (std::size_t i = 0; i < kFitMethodNames.size(); ++i) {
    if (kFitMethodNames[i] == name) return FitMethod(i);
  }
  return std::nullopt;
}

std::string_view name_of(FitMethod method) { return kFitMethodNames[std::size_t(method)]; }

std::string quoted_fit_method_names() {
  std::string out;
  for (std::string_view name : kFitMethodNames) {
    if (!out.empty()) out += ", ";
    out += '"';
    out += name;
    out += '"';
  }
  return out;
}

}  // namespace kelvara
