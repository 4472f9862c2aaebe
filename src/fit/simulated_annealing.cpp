#include "fit/simulated_annealing.hpp"

#include <cmath>
#include <utility>

#include "fit/polish.hpp"
#include "fit/residuals.hpp"

namespace kelvara {

SimulatedAnnealing::SimulatedAnnealing(CostFunction cost, std::vector<double> x0,
                                       double initial_temperature, ChaChaRng& step_rng,
                                       ChaChaRng& accept_rng)
    : cost_(std::move(cost)),
      current_(std::move(x0)),
      proposal_(current_.size()),
      initial_temperature_(initial_temperature),
      temperature_(initial_temperature),
      step_rng_(step_rng),
      accept_rng_(accept_rng) {}

void SimulatedAnnealing::init(SolverState& state) {
  current_cost_ = cost_(current_);
  state.consider(current_, current_cost_);
}

void SimulatedAnnealing::step(SolverState& state) {
  const double t = temperature_;
  for (std::size_t i = 0; i < current_.size(); ++i)
    proposal_[i] = current_[i] + step_rng_.uniform_range(-t, t);
  const double proposal_cost = cost_(proposal_);
  const double u = accept_rng_.next_unit();
  const bool accepted = proposal_cost < current_cost_ ||
                        1.0 / (1.0 + std::exp((proposal_cost - current_cost_) / t)) > u;
  ++cooling_steps_;
  temperature_ = initial_temperature_ / double(cooling_steps_ + 1);
  if (accepted) {
    std::swap(current_, proposal_);
    current_cost_ = proposal_cost;
  }
  state.consider(current_, current_cost_);
}

FitResultOr<FitOutcome> simulated_annealing_fit(const FitProblem& problem,
                                                const SimulatedAnnealingOptions& options) {
  ChaChaRng step_rng =
      options.seed ? ChaChaRng::seed_from_u64(*options.seed) : ChaChaRng::from_entropy();
  ChaChaRng accept_rng =
      options.seed ? ChaChaRng::seed_from_u64(*options.seed + 1) : ChaChaRng::from_entropy();
  SimulatedAnnealing walk(SolverCost(problem), to_solver_coordinates(problem.bounds, problem.start),
                          options.initial_temperature, step_rng, accept_rng);
  const SolverState state = run_solver(walk, options.iterations);
  // Only a NaN cost at the start leaves no best: it rejects every proposal,
  // so the walk never moved and there is nothing to report.
  if (!state.best)
    return FitError{FitError::Kind::Solver, "simulated annealing found no best position"};
  return polish_or_fallback(problem, *state.best, state.iterations, state.termination);
}

}  // namespace kelvara
