#pragma once
// Method "nelder_mead": the downhill simplex of Nelder and Mead in solver
// coordinates from the circuit's current values, then the least-squares
// polish. No bound applies during the search; the outcome clamps.

#include <cstdint>
#include <span>
#include <vector>

#include "fit/fit_error.hpp"
#include "fit/fit_options.hpp"
#include "fit/fit_problem.hpp"
#include "fit/outcome.hpp"
#include "fit/solver_state.hpp"

namespace kelvara {

// The standard simplex iteration (Lagarias et al. 1998) over vertices
// sorted by cost, best first, with x_c the centroid of all but the worst
// vertex x_w and x_r = x_c + alpha (x_c - x_w):
//   f_1 <= f_r < f_n         take x_r
//   f_r < f_1                expansion x_e = x_c + gamma (x_r - x_c), take
//                            the lower of x_e and x_r (x_r on a tie)
//   f_n <= f_r < f_w         outside contraction x_c + rho (x_r - x_c),
//                            taken when not above f_r
//   f_r >= f_w               inside contraction x_c + rho (x_w - x_c),
//                            taken when below f_w
//   contraction refused      shrink every vertex towards the best:
//                            x_i = x_1 + sigma (x_i - x_1)
// A NaN cost ranks behind every number, so a NaN vertex is the first to go.
// The run stops once the sample standard deviation of the vertex costs is
// below the tolerance.
class NelderMead {
 public:
  static constexpr double kReflection = 1.0;
  static constexpr double kExpansion = 2.0;
  static constexpr double kContraction = 0.5;
  static constexpr double kShrink = 0.5;
  static constexpr double kCostSdTolerance = 2.220446049250313e-16;  // 2^-52

  NelderMead(CostFunction cost, std::vector<std::vector<double>> simplex);

  // Vertex 0 is x0; vertex i + 1 adds s_i to coordinate i, where
  // s_i = 0.1 |x0_i| when |x0_i| > 1e-8 and 0.1 otherwise (always added).
  static std::vector<std::vector<double>> initial_simplex(std::span<const double> x0);

  void init(SolverState& state);
  bool converged() const;
  void step(SolverState& state);

 private:
  struct Vertex {
    std::vector<double> x;
    double cost;
  };

  void sort_vertices();
  // x_c + t (towards - x_c), evaluated.
  Vertex along(const std::vector<double>& towards, double t);

  CostFunction cost_;
  std::vector<Vertex> vertices_;
  std::vector<double> centroid_;
};

FitResultOr<FitOutcome> nelder_mead_fit(const FitProblem& problem,
                                        const NelderMeadOptions& options);

}  // namespace kelvara
