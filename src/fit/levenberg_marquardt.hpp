#pragma once
// The default fitting method: a deterministic multi-start around MINPACK's
// trust-region Levenberg-Marquardt (Eigen's lmder port), in solver
// coordinates.
//
// Nine starts derived from the circuit's current values are ranked by cost
// and solved in that order until one converges to a plausible point (inside
// the box of every bounded parameter, and within six decades of the start
// for the others); the best result is then clamped, and re-fitted with any
// parameter that ended on a finite bound held there.

#include <cstdint>
#include <span>
#include <vector>

#include "fit/fit_error.hpp"
#include "fit/outcome.hpp"
#include "fit/residuals.hpp"

namespace kelvara {

struct LmSettings {
  double ftol = 1e-8;         // relative reduction of the sum of squares
  double xtol = 1e-8;         // relative change of the scaled parameters
  double gtol = 1e-8;         // cosine between residuals and any Jacobian column
  std::uint32_t patience = 200;  // evaluation budget: patience * (n + 1)
};

// Why a single run stopped; the first four are convergence.
enum class LmTermination {
  ResidualsZero,
  Orthogonal,         // gtol test
  Converged,          // ftol and/or xtol test
  LostPatience,       // evaluation budget spent
  NoImprovementPossible,
  Numerical,          // a non-finite residual or Jacobian entry
  WrongDimensions,    // fewer residuals than parameters, or no parameters
};

bool is_success(LmTermination t);

struct LmRun {
  std::vector<double> params;  // physical
  LmTermination termination;
  bool success;
  std::uint64_t evaluations;  // residual evaluations the solver reports
};

// One solver run from solver-coordinate start `x0`, `held` parameters fixed.
LmRun levenberg_marquardt_single_start(const FitProblem& problem, std::span<const double> x0,
                                       std::span<const bool> held, const LmSettings& settings);

// The nine starting points (physical) in table order.
std::vector<std::vector<double>> candidate_starting_points(std::span<const double> p0, std::span<const Bounds> bounds);

// Strictly inside the box of every bounded parameter by a millionth of its
// width; log-scaled ones above 100 lo and within six decades of the start.
bool is_plausible(std::span<const double> p, std::span<const double> p0, std::span<const Bounds> bounds);

struct Settled {
  std::vector<double> params;  // inside the bounds
  bool success;                // of the run that produced `params`
  std::uint64_t evaluations;   // the re-fit's solver evaluations, if any ran
};

// Bound handling of a multi-start's best point: clamps it into the box and,
// when a bounded parameter ended on or beyond a bound, re-fits the others
// with those held there. The re-fit is kept when its cost beats the clamped
// point's, so the result never costs more than the plain clamp.
Settled settle_on_bounds(const FitProblem& problem, std::span<const double> best, bool success,
                         const LmSettings& settings);

FitResultOr<FitOutcome> levenberg_marquardt_fit(const SeriesList& nodes, std::span<const double> frequencies_hz,
                                                std::span<const Complex> impedances, bool modulus,
                                                const LmSettings& settings);

}  // namespace kelvara
