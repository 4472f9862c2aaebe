#include "fit/differential_evolution.hpp"

#include <algorithm>
#include <utility>

#include "fit/polish.hpp"
#include "fit/residuals.hpp"

namespace kelvara {

DifferentialEvolution::DifferentialEvolution(Cost cost, std::span<const float> lower,
                                             std::span<const float> upper, XorShiftRng rng)
    : cost_(std::move(cost)), rng_(rng) {
  const std::size_t n = std::min(lower.size(), upper.size());
  trials_.reserve(kPopulation);
  for (std::size_t i = 0; i < kPopulation; ++i) {
    Member m{std::vector<float>(n), 0.0f, 0.0f};
    for (std::size_t j = 0; j < n; ++j) m.x[j] = rng_.uniform_range(lower[j], upper[j]);
    m.cr = rng_.next_unit();
    m.f = 0.1f + 0.9f * rng_.next_unit();
    trials_.push_back(std::move(m));
  }
  individuals_ = trials_;
  individual_costs_.assign(kPopulation, std::nullopt);
  trial_costs_.assign(kPopulation, 0.0f);
}

void DifferentialEvolution::evaluate_next() {
  const Member& trial = trials_[next_trial_];
  const float c = cost_(trial.x);
  ++evaluations_;
  trial_costs_[next_trial_] = c;
  if (!best_ || c < best_cost_) best_ = trial.x, best_cost_ = c;
  if (++next_trial_ == kPopulation) {
    select_and_breed();
    next_trial_ = 0;
  }
}

void DifferentialEvolution::select_and_breed() {
  for (std::size_t i = 0; i < kPopulation; ++i) {
    if (!individual_costs_[i] || trial_costs_[i] <= *individual_costs_[i]) {
      std::swap(individuals_[i], trials_[i]);
      individual_costs_[i] = trial_costs_[i];
    }
  }
  const std::size_t n = individuals_.front().x.size();
  const auto population = std::uint32_t(kPopulation);
  for (std::size_t i = 0; i < kPopulation; ++i) {
    const Member& self = individuals_[i];
    Member& trial = trials_[i];
    trial.cr = rng_.next_unit() < kChangeProbability ? rng_.next_unit() : self.cr;
    trial.f = rng_.next_unit() < kChangeProbability ? rng_.uniform_range(0.1f, 1.0f) : self.f;
    const std::size_t a = rng_.below(population);
    std::size_t b = rng_.below(population);
    while (b == a) b = rng_.below(population);
    std::size_t c = rng_.below(population);
    while (c == a || c == b) c = rng_.below(population);
    const std::size_t forced = n > 0 ? rng_.below(std::uint32_t(n)) : 0;
    const std::vector<float>& xa = individuals_[a].x;
    const std::vector<float>& xb = individuals_[b].x;
    const std::vector<float>& xc = individuals_[c].x;
    for (std::size_t j = 0; j < n; ++j) {
      const bool mutate = rng_.next_unit() < trial.cr || j == forced;
      trial.x[j] = mutate ? xa[j] + trial.f * (xb[j] - xc[j]) : self.x[j];
    }
  }
}

FitResultOr<FitOutcome> differential_evolution_fit(const FitProblem& problem,
                                                   const DifferentialEvolutionOptions& options) {
  const auto [lower64, upper64] = pso_search_box(problem.bounds, problem.start);
  const std::size_t n = std::min(lower64.size(), upper64.size());
  std::vector<float> lower(n), upper(n);
  for (std::size_t j = 0; j < n; ++j) lower[j] = float(lower64[j]), upper[j] = float(upper64[j]);

  const std::uint64_t budget = std::max<std::uint64_t>(options.evaluations, 1);
  std::optional<std::vector<double>> best;  // solver coordinates
  double best_cost = 0.0;
  std::uint64_t iterations = 0;
  for (int run = 0; run < kDifferentialEvolutionRuns; ++run) {
    // The cost in 64 bits, handed back rounded to the nearest float.
    auto cost = [solver_cost = SolverCost(problem),
                 wide = std::vector<double>(n)](std::span<const float> x) mutable {
      for (std::size_t j = 0; j < wide.size(); ++j) wide[j] = x[j];
      return float(solver_cost(wide));
    };
    DifferentialEvolution population(std::move(cost), lower, upper, XorShiftRng::from_entropy());
    for (std::uint64_t k = 0; k < budget; ++k) {
      problem.interrupt.poll();
      population.evaluate_next();
    }
    iterations += population.evaluations();
    if (!population.best_position()) continue;
    std::vector<double> x(population.best_position()->begin(), population.best_position()->end());
    const double c = cost_at(problem, physical(problem.bounds, x));
    if (!best || c < best_cost) best = std::move(x), best_cost = c;
  }
  if (!best)
    return FitError{FitError::Kind::Solver, "differential evolution found no best position"};
  return polish_or_fallback(problem, *best, iterations, Termination::BudgetSpent);
}

}  // namespace kelvara
