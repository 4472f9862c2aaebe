#pragma once
// Method "simulated_annealing": one random walk in solver coordinates from
// the circuit's current values at a falling temperature, then the
// least-squares polish of the best point it accepted.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fit/chacha_rng.hpp"
#include "fit/fit_error.hpp"
#include "fit/fit_options.hpp"
#include "fit/fit_problem.hpp"
#include "fit/outcome.hpp"
#include "fit/solver_state.hpp"

namespace kelvara {

// Iteration k = 1, 2, ... runs at the fast schedule T = T0 / k: it proposes
// y = x + d with every d_i uniform in [-T, T) (step generator), draws u in
// [0, 1) (acceptance generator, on every iteration) and accepts when
//   c(y) < c(x)   or   1 / (1 + exp((c(y) - c(x)) / T)) > u,
// the logistic (Barker) rule, under which a level step passes half the
// time. A NaN cost is never accepted.
class SimulatedAnnealing {
 public:
  SimulatedAnnealing(CostFunction cost, std::vector<double> x0, double initial_temperature,
                     ChaChaRng& step_rng, ChaChaRng& accept_rng);

  void init(SolverState& state);
  bool converged() const { return false; }
  void step(SolverState& state);
  const std::vector<double>& current() const { return current_; }

 private:
  CostFunction cost_;
  std::vector<double> current_, proposal_;
  double current_cost_ = 0.0;
  double initial_temperature_;
  double temperature_;
  std::uint64_t cooling_steps_ = 0;
  ChaChaRng& step_rng_;
  ChaChaRng& accept_rng_;
};

// Steps from the seed, acceptance from seed + 1 (mod 2^64).
FitResultOr<FitOutcome> simulated_annealing_fit(const FitProblem& problem,
                                                const SimulatedAnnealingOptions& options);

}  // namespace kelvara
