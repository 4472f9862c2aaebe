#include "fit/nelder_mead.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "fit/polish.hpp"
#include "fit/residuals.hpp"

namespace kelvara {
namespace {

// Cost order with NaN behind every number (and equal to another NaN).
bool ranks_before(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

}  // namespace

NelderMead::NelderMead(CostFunction cost, std::vector<std::vector<double>> simplex)
    : cost_(std::move(cost)) {
  for (auto& x : simplex) vertices_.push_back({std::move(x), 0.0});
}

std::vector<std::vector<double>> NelderMead::initial_simplex(std::span<const double> x0) {
  std::vector<std::vector<double>> simplex(x0.size() + 1,
                                           std::vector<double>(x0.begin(), x0.end()));
  for (std::size_t i = 0; i < x0.size(); ++i) {
    const double magnitude = std::fabs(x0[i]);
    simplex[i + 1][i] += magnitude > 1e-8 ? 0.1 * magnitude : 0.1;
  }
  return simplex;
}

void NelderMead::sort_vertices() {
  std::stable_sort(vertices_.begin(), vertices_.end(),
                   [](const Vertex& a, const Vertex& b) { return ranks_before(a.cost, b.cost); });
}

void NelderMead::init(SolverState& state) {
  for (Vertex& v : vertices_) v.cost = cost_(v.x);
  sort_vertices();
  state.consider(vertices_.front().x, vertices_.front().cost);
}

bool NelderMead::converged() const {
  const double count = double(vertices_.size());
  double mean = 0.0;
  for (const Vertex& v : vertices_) mean += v.cost;
  mean /= count;
  double squares = 0.0;
  for (const Vertex& v : vertices_) squares += (v.cost - mean) * (v.cost - mean);
  return std::sqrt(squares / (count - 1.0)) < kCostSdTolerance;
}

NelderMead::Vertex NelderMead::along(const std::vector<double>& towards, double t) {
  Vertex v{std::vector<double>(centroid_.size()), 0.0};
  for (std::size_t j = 0; j < v.x.size(); ++j)
    v.x[j] = centroid_[j] + t * (towards[j] - centroid_[j]);
  v.cost = cost_(v.x);
  return v;
}

void NelderMead::step(SolverState& state) {
  const std::size_t worst = vertices_.size() - 1;
  const std::size_t n = vertices_.front().x.size();
  centroid_.assign(n, 0.0);
  for (std::size_t i = 0; i < worst; ++i) {
    for (std::size_t j = 0; j < n; ++j) centroid_[j] += vertices_[i].x[j];
  }
  for (double& c : centroid_) c /= double(worst);

  const double f_best = vertices_.front().cost;
  const double f_next = vertices_[worst - 1].cost;  // second worst
  const double f_worst = vertices_[worst].cost;
  Vertex reflected = along(vertices_[worst].x, -kReflection);

  bool shrink = false;
  if (!ranks_before(reflected.cost, f_best) && ranks_before(reflected.cost, f_next)) {
    vertices_[worst] = std::move(reflected);
  } else if (ranks_before(reflected.cost, f_best)) {
    Vertex expanded = along(reflected.x, kExpansion);
    vertices_[worst] =
        ranks_before(expanded.cost, reflected.cost) ? std::move(expanded) : std::move(reflected);
  } else if (ranks_before(reflected.cost, f_worst)) {
    Vertex contracted = along(reflected.x, kContraction);
    if (!ranks_before(reflected.cost, contracted.cost)) {
      vertices_[worst] = std::move(contracted);
    } else {
      shrink = true;
    }
  } else {
    Vertex contracted = along(vertices_[worst].x, kContraction);
    if (ranks_before(contracted.cost, f_worst)) {
      vertices_[worst] = std::move(contracted);
    } else {
      shrink = true;
    }
  }
  if (shrink) {
    const std::vector<double>& best = vertices_.front().x;
    for (std::size_t i = 1; i < vertices_.size(); ++i) {
      for (std::size_t j = 0; j < n; ++j)
        vertices_[i].x[j] = best[j] + kShrink * (vertices_[i].x[j] - best[j]);
      vertices_[i].cost = cost_(vertices_[i].x);
    }
  }
  sort_vertices();
  state.consider(vertices_.front().x, vertices_.front().cost);
}

FitResultOr<FitOutcome> nelder_mead_fit(const FitProblem& problem,
                                        const NelderMeadOptions& options) {
  const std::vector<double> x0 = to_solver_coordinates(problem.bounds, problem.start);
  NelderMead simplex(SolverCost(problem), NelderMead::initial_simplex(x0));
  const SolverState state = run_solver(simplex, options.iterations);
  if (!state.best) return FitError{FitError::Kind::Solver, "nelder-mead found no best position"};
  return polish_or_fallback(problem, *state.best, state.iterations, state.termination);
}

}  // namespace kelvara
