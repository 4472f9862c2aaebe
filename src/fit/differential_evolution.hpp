#pragma once
// Method "differential_evolution": ten independent runs of self-adaptive
// differential evolution (jDE, Brest et al. 2006) over the search box
// around the start, the best of the ten, then the least-squares polish.
// Positions and costs are 32-bit floats inside a run; only the comparison
// between runs uses 64-bit costs. Every run draws from a generator seeded
// afresh by the operating system, so two fits generally differ.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "fit/fit_error.hpp"
#include "fit/fit_options.hpp"
#include "fit/fit_problem.hpp"
#include "fit/outcome.hpp"
#include "fit/xorshift_rng.hpp"

namespace kelvara {

inline constexpr int kDifferentialEvolutionRuns = 10;

// One jDE population (DE/rand/1/bin with per-individual F and CR). Each
// call of evaluate_next() scores one trial; once a whole generation is
// scored, every trial replaces its individual when its cost is not greater,
// and the next trials are built:
//   with probability 0.1 CR' = U[0, 1), else CR;  independently with
//   probability 0.1 F' = U[0.1, 1), else F;
//   a, b, c uniform population indices, b != a, c not in {a, b};
//   trial_j = x_a,j + F' (x_b,j - x_c,j) where U[0, 1) < CR' or j is the
//   one forced coordinate, else the individual's own x_j;
// and the trial carries F' and CR' into the population if it is selected.
// The first generation's trials are the initial individuals: positions
// U[lower, upper), CR = U[0, 1), F = 0.1 + 0.9 U[0, 1). No bound is applied
// after that. The best trial is tracked on a strictly lower cost.
class DifferentialEvolution {
 public:
  using Cost = std::function<float(std::span<const float>)>;
  static constexpr std::size_t kPopulation = 100;
  static constexpr float kChangeProbability = 0.1f;

  DifferentialEvolution(Cost cost, std::span<const float> lower, std::span<const float> upper,
                        XorShiftRng rng);

  void evaluate_next();
  std::uint64_t evaluations() const { return evaluations_; }
  // The lowest-cost position scored so far, if any.
  const std::optional<std::vector<float>>& best_position() const { return best_; }

 private:
  struct Member {
    std::vector<float> x;
    float cr, f;
  };

  void select_and_breed();

  Cost cost_;
  XorShiftRng rng_;
  std::vector<Member> individuals_, trials_;
  std::vector<std::optional<float>> individual_costs_;  // none until first scored
  std::vector<float> trial_costs_;
  std::size_t next_trial_ = 0;
  std::uint64_t evaluations_ = 0;
  std::optional<std::vector<float>> best_;
  float best_cost_ = 0.0f;
};

FitResultOr<FitOutcome> differential_evolution_fit(const FitProblem& problem,
                                                   const DifferentialEvolutionOptions& options);

}  // namespace kelvara
