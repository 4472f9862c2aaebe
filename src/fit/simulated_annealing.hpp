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
#include "fit/outcome.hpp"
#include "fit/solver_state.hpp"

namespace kelvara {

struct SimulatedAnnealingOptions {
  std::uint64_t iterations = 5000;
  double initial_temperature = 2.0;   // T0 > 0, and 2 T0 finite
  std::optional<std::uint64_t> seed;  // steps from seed, acceptance from seed + 1 (mod 2^64)
};

// Iteration k = 1, 2, ... runs at the fast schedule T = T0 / k: it proposes
// y = x + d with every d_i uniform in [-T, T) (step generator), draws u in
// [0, 1) (acceptance generator, on every iteration) and accepts when
//   c(y) < c(x)   or   1 / (1 + exp((c(y) - c(x)) / T)) > u,
// the logistic (Barker) rule, under which a level step passes half the
// time. A NaN cost is never accepted.
class SimulatedAnnealing {
 public:
  SimulatedAnnealing(CostFunction cost, std::vector<double> x0, double initial_temperature, ChaChaRng& step_rng,
                     ChaChaRng& accept_rng);

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

FitResultOr<FitOutcome> simulated_annealing_fit(const SeriesList& nodes, std::span<const double> frequencies_hz,
                                                std::span<const Complex> impedances, bool modulus,
                                                const SimulatedAnnealingOptions& options);

}  // namespace kelvara
