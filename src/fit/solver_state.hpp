#pragma once
// The one shape shared by the iterative solvers (particle swarm,
// Nelder-Mead, simulated annealing): a cost callable over solver
// coordinates, a state holding the best point, its cost and the iteration
// count, and a loop that runs until the iteration limit or the solver's own
// stopping test.
//
// A solver is any type with
//   void init(SolverState&);     // evaluate the starting point(s)
//   bool converged() const;      // its own stopping test
//   void step(SolverState&);     // one iteration
// and reports candidate points through SolverState::consider.

#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "fit/termination.hpp"

namespace kelvara {

using CostFunction = std::function<double(std::span<const double>)>;

struct SolverState {
  std::optional<std::vector<double>> best;  // absent until a cost beats +inf
  double best_cost = std::numeric_limits<double>::infinity();
  std::uint64_t iterations = 0;
  Termination termination = Termination::BudgetSpent;

  // A point becomes the best on a strictly lower cost, or when both costs
  // are +inf (so a start of infinite cost is still recorded). A NaN cost
  // never becomes the best, and an equal cost never displaces it.
  void consider(std::span<const double> x, double cost) {
    const double inf = std::numeric_limits<double>::infinity();
    if (cost < best_cost || (cost == inf && best_cost == inf)) {
      best.emplace(x.begin(), x.end());
      best_cost = cost;
    }
  }
};

// The stopping tests run before every iteration, the first included, so a
// limit of 0 leaves only the starting evaluation.
template <class Solver>
SolverState run_solver(Solver& solver, std::uint64_t max_iterations) {
  SolverState state;
  solver.init(state);
  while (state.iterations < max_iterations) {
    if (solver.converged()) {
      state.termination = Termination::SearchConverged;
      break;
    }
    solver.step(state);
    ++state.iterations;
  }
  return state;
}

}  // namespace kelvara
