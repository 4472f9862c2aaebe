#include "fit/basin_hopping.hpp"

#include <cmath>
#include <utility>
#include <vector>

#include "fit/chacha_rng.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/residuals.hpp"

namespace kelvara {

FitResultOr<FitOutcome> basin_hopping_fit(const FitProblem& problem,
                                          const BasinHoppingOptions& options) {
  ChaChaRng rng =
      options.seed ? ChaChaRng::seed_from_u64(*options.seed) : ChaChaRng::from_entropy();
  const double s = options.step_size;
  const LmSettings local_settings{};
  const std::span<const Bounds> bounds = problem.bounds;

  FitOutcome current = multi_start_fit(problem, problem.start, local_settings);
  std::vector<double> best = current.params;
  double best_cost = current.cost;
  Termination best_termination = current.termination;
  std::uint64_t iterations = current.iterations;

  for (std::uint32_t hop = 0; hop < options.hops; ++hop) {
    problem.interrupt.poll();
    std::vector<double> y = to_solver_coordinates(bounds, current.params);
    for (double& yi : y) yi += rng.uniform_range(-s, s);
    FitOutcome local = multi_start_fit(problem, physical(bounds, y), local_settings);
    iterations += local.iterations;
    if (std::isfinite(local.cost) && local.cost < best_cost) {
      best = local.params, best_cost = local.cost, best_termination = local.termination;
    }
    const bool accepted =
        std::isfinite(local.cost) &&
        (local.cost < current.cost ||
         rng.next_unit() < std::exp(-(local.cost - current.cost) / options.temperature));
    if (accepted) current = std::move(local);
  }

  // The local fits' work shows in `iterations`; `impedance_evals` counts the
  // final statistics alone.
  problem.counter.store(0, std::memory_order_relaxed);
  return build_outcome(problem, std::move(best), true, best_termination, iterations);
}

}  // namespace kelvara
