#include "fit/engine_options.hpp"

#include <cmath>

#include "circuit/tree.hpp"
#include "fit/fit_problem.hpp"
#include "fit/outcome.hpp"
#include "fit/residuals.hpp"
#include "support/text_format.hpp"

namespace kelvara {
namespace {

FitError invalid(std::string message) {
  return FitError{FitError::Kind::InvalidOption, std::move(message)};
}

std::optional<FitError> check_length(const char* name, std::size_t got, std::size_t n,
                                     const char* what) {
  if (got == n) return std::nullopt;
  return invalid(std::string(name) + " needs " + std::to_string(n) + " " + what + ", got " +
                 std::to_string(got));
}

}  // namespace

FitResultOr<EngineRequest> engine_request(const SeriesList& tree,
                                          std::span<const double> frequencies_hz,
                                          std::span<const Complex> impedances,
                                          EngineOptions options) {
  const std::size_t n = param_count(tree);
  const std::vector<std::string> names = param_names(tree);
  if (options.starts.empty()) return invalid("starts needs at least one starting vector");
  for (const auto& start : options.starts) {
    if (auto e = check_length("starts", start.size(), n, "values")) return *e;
  }
  if (auto e = check_length("held", options.held.size(), n, "flags")) return *e;
  if (auto e = check_length("lower", options.lower.size(), n, "values")) return *e;
  if (auto e = check_length("upper", options.upper.size(), n, "values")) return *e;

  EngineRequest request;
  const std::vector<Bounds> catalogue = param_bounds(tree);
  for (std::size_t i = 0; i < n; ++i) {
    const Bounds b{std::fmax(options.lower[i], catalogue[i].lo),
                   std::fmin(options.upper[i], catalogue[i].hi)};
    if (!(b.lo <= b.hi)) {
      return invalid("the box of " + names[i] + " is empty: (" + format_debug(options.lower[i]) +
                     ", " + format_debug(options.upper[i]) + ")");
    }
    request.box.push_back(b);
  }
  for (const auto& start : options.starts) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!std::isfinite(start[i])) {
        return invalid("starting value of " + names[i] + " must be finite, got " +
                       format_debug(start[i]));
      }
    }
  }
  const auto modulus = parse_weighting(options.weight);
  if (!modulus) return invalid(unknown_weighting_message(options.weight));
  request.modulus = *modulus;
  if (options.search == "quick") {
    request.settings = SearchSettings::quick();
  } else if (options.search == "local") {
    request.search = false;
  } else if (options.search != "thorough") {
    return invalid("search must be " + std::string(engine_option("search").rule) + ", got " +
                   debug_quote(options.search));
  }
  if (options.effort < 1 || options.effort > kMaxEffort) {
    return invalid("effort must be " + std::string(engine_option("effort").rule) + ", got " +
                   std::to_string(options.effort));
  }
  FitOptions lm_options;
  lm_options.max_iterations = options.lm.max_iterations;
  lm_options.ftol = options.lm.ftol;
  lm_options.xtol = options.lm.xtol;
  if (auto e = validate_options(FitMethod::LevenbergMarquardt, lm_options)) return *e;
  // The first start is the one the local fit takes: checked as kelvara checks a start.
  if (auto e = check_fit_inputs(rebuild(tree, options.starts.front()), frequencies_hz, impedances))
    return *e;

  SearchSettings& s = request.settings;
  const std::size_t effort = options.effort;
  s.quasi_random *= effort, s.screened *= effort, s.polished *= effort, s.hops *= effort;
  s.structured_polished *= effort;
  s.agreed += effort - 1;
  s.seed = options.seed;
  request.lm.ftol = options.lm.ftol;
  request.lm.xtol = options.lm.xtol;
  request.lm.patience = options.lm.max_iterations;

  // The held values come from the first start; every start agrees on them
  // and lies inside the box.
  request.held_flags.reset(new bool[n]());
  for (std::size_t i = 0; i < n; ++i) request.held_flags[i] = options.held[i];
  request.starts = std::move(options.starts);
  for (auto& start : request.starts) {
    for (std::size_t i = 0; i < n; ++i) {
      if (request.held_flags[i]) start[i] = request.starts.front()[i];
    }
    clamp_into_bounds(start, request.box);
  }
  return request;
}

}  // namespace kelvara
