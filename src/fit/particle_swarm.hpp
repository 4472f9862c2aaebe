#pragma once
// Method "particle_swarm": the inertia-weight particle swarm over a box in
// solver coordinates around the start, then the least-squares polish.

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

// The swarm with the usual weights: inertia w = 1 / (2 ln 2), cognitive and
// social c1 = c2 = 1/2 + ln 2 (the Standard PSO values). Per generation
// every particle moves with
//   v <- w v + c1 a + c2 b,   x <- clamp(x + v, lower, upper),
// a_j uniform between 0 and (personal best - x)_j, b_j between 0 and
// (swarm best - x)_j, drawn for all j of a, then all j of b. The swarm best
// steering a generation is the one at its start; personal and swarm bests
// change only on a strictly lower cost.
class ParticleSwarm {
 public:
  static constexpr double kInertia = 0.7213475204444817;
  static constexpr double kCognitive = 1.1931471805599454;
  static constexpr double kSocial = 1.1931471805599454;

  ParticleSwarm(CostFunction cost, std::vector<double> lower, std::vector<double> upper,
                std::uint64_t num_particles, ChaChaRng& rng);

  // Positions uniform in the box, velocities uniform in [-(upper - lower),
  // upper - lower], drawn particle by particle; all evaluated.
  void init(SolverState& state);
  bool converged() const { return false; }
  void step(SolverState& state);

 private:
  struct Particle {
    std::vector<double> position, velocity, best_position;
    double best_cost;
  };

  CostFunction cost_;
  std::vector<double> lower_, upper_;
  std::uint64_t num_particles_;
  ChaChaRng& rng_;
  std::vector<Particle> particles_;
};

FitResultOr<FitOutcome> particle_swarm_fit(const FitProblem& problem,
                                           const ParticleSwarmOptions& options);

}  // namespace kelvara
