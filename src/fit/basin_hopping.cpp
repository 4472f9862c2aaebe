#include "fit/basin_hopping.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "circuit/tree.hpp"
#include "fit/global_fit.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "support/text_format.hpp"

namespace kelvara {

FitResultOr<FitOutcome> basin_hopping_fit(const SeriesList& nodes, std::span<const double> frequencies_hz,
                                          std::span<const Complex> impedances, bool modulus,
                                          const BasinHoppingOptions& options, ChaChaRng& rng) {
  if (auto e = check_fit_inputs(nodes, frequencies_hz, impedances)) return *e;
  const double s = options.step_size;
  // Perturbations are drawn from [-s, s], whose width 2s must be a finite
  // number; -0.0 counts as 0.
  if (!(s >= 0.0) || !std::isfinite(2.0 * s)) {
    return FitError{FitError::Kind::InvalidOption,
                    "basin_hopping_step_size must be a non-negative number whose double is finite, got " +
                        format_debug(s)};
  }
  const LmSettings local_settings{1e-8, 1e-8, 1e-8, 200};
  auto local_fit = [&](const SeriesList& start) {
    return levenberg_marquardt_fit(start, frequencies_hz, impedances, modulus, local_settings);
  };
  const std::vector<Bounds> bounds = param_bounds(nodes);

  auto initial = local_fit(nodes);
  if (auto* error = std::get_if<FitError>(&initial)) return *error;
  FitOutcome current = std::move(std::get<FitOutcome>(initial));
  std::vector<double> best = current.params;
  double best_cost = current.cost;
  std::uint64_t iterations = current.iterations;

  for (std::uint32_t hop = 0; hop < options.hops; ++hop) {
    std::vector<double> y = to_solver_coordinates(bounds, current.params);
    for (double& yi : y) yi += rng.uniform_range(-s, s);
    auto hopped = local_fit(rebuild(nodes, physical(bounds, y)));
    if (auto* error = std::get_if<FitError>(&hopped)) return *error;
    FitOutcome& local = std::get<FitOutcome>(hopped);
    iterations += local.iterations;
    if (std::isfinite(local.cost) && local.cost < best_cost) best = local.params, best_cost = local.cost;
    const bool accepted =
        std::isfinite(local.cost) &&
        (local.cost < current.cost ||
         rng.next_unit() < std::exp(-(local.cost - current.cost) / options.temperature));
    if (accepted) current = std::move(local);
  }

  const PreparedFit fit(nodes, frequencies_hz, impedances, modulus);
  return build_outcome(nodes, std::move(best), true, iterations, fit.problem);
}

}  // namespace kelvara
