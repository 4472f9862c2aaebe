#include "fit/particle_swarm.hpp"

#include <utility>

#include "fit/polish.hpp"
#include "fit/residuals.hpp"

namespace kelvara {
namespace {

// NaN stays NaN; the box always has lower <= upper.
double clamp_into(double x, double lower, double upper) {
  return x < lower ? lower : (x > upper ? upper : x);
}

}  // namespace

ParticleSwarm::ParticleSwarm(CostFunction cost, std::vector<double> lower,
                             std::vector<double> upper, std::uint64_t num_particles, ChaChaRng& rng)
    : cost_(std::move(cost)),
      lower_(std::move(lower)),
      upper_(std::move(upper)),
      num_particles_(num_particles),
      rng_(rng) {}

void ParticleSwarm::init(SolverState& state) {
  const std::size_t n = lower_.size();
  particles_.reserve(num_particles_);
  for (std::uint64_t k = 0; k < num_particles_; ++k) {
    Particle p{std::vector<double>(n), std::vector<double>(n), {}, 0.0};
    for (std::size_t j = 0; j < n; ++j) p.position[j] = rng_.uniform_range(lower_[j], upper_[j]);
    for (std::size_t j = 0; j < n; ++j) {
      const double width = upper_[j] - lower_[j];
      p.velocity[j] = rng_.uniform_range(-width, width);
    }
    p.best_position = p.position;
    p.best_cost = cost_(p.position);
    state.consider(p.position, p.best_cost);
    particles_.push_back(std::move(p));
  }
}

void ParticleSwarm::step(SolverState& state) {
  const std::size_t n = lower_.size();
  // Without any comparable cost yet there is no swarm best to pull towards.
  const std::vector<double> swarm_best = state.best.value_or(std::vector<double>{});
  for (Particle& p : particles_) {
    for (std::size_t j = 0; j < n; ++j) {
      p.velocity[j] = kInertia * p.velocity[j] +
                      kCognitive * rng_.uniform_range(0.0, p.best_position[j] - p.position[j]);
    }
    for (std::size_t j = 0; j < n && !swarm_best.empty(); ++j) {
      p.velocity[j] += kSocial * rng_.uniform_range(0.0, swarm_best[j] - p.position[j]);
    }
    for (std::size_t j = 0; j < n; ++j)
      p.position[j] = clamp_into(p.position[j] + p.velocity[j], lower_[j], upper_[j]);
    const double c = cost_(p.position);
    if (c < p.best_cost) p.best_position = p.position, p.best_cost = c;
    state.consider(p.position, c);
  }
}

FitResultOr<FitOutcome> particle_swarm_fit(const FitProblem& problem,
                                           const ParticleSwarmOptions& options) {
  auto [lower, upper] = pso_search_box(problem.bounds, problem.start);
  ChaChaRng rng =
      options.seed ? ChaChaRng::seed_from_u64(*options.seed) : ChaChaRng::from_entropy();
  ParticleSwarm swarm(SolverCost(problem), std::move(lower), std::move(upper),
                      options.num_particles, rng);
  const SolverState state = run_solver(swarm, options.generations);
  if (!state.best) return FitError{FitError::Kind::Solver, "particle swarm found no best position"};
  return polish_or_fallback(problem, *state.best, state.iterations, state.termination);
}

}  // namespace kelvara
