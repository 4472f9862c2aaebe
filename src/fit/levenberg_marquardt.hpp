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
//
// This is the one least-squares path: kelvara_lab's engine runs the same
// functor, multi-start, bound re-fit and ranking with some parameters held
// (left out of the solver's vector) and a box of its own; the default fit is
// the case with nothing held.

#include <cstddef>
#include <cstdint>
#include <span>
#include <unsupported/Eigen/LevenbergMarquardt>
#include <vector>

#include "fit/fit_error.hpp"
#include "fit/fit_options.hpp"
#include "fit/outcome.hpp"
#include "fit/residuals.hpp"
#include "fit/termination.hpp"

namespace kelvara {

// The solver's own settings; the method's options map onto them, and the
// polish and basin hopping's local fits use the defaults.
struct LmSettings {
  double ftol = option_default<double>("ftol");  // relative reduction of the sum of squares
  double xtol = option_default<double>("xtol");  // relative change of the scaled parameters
  double gtol = 1e-8;                            // cosine between residuals and any Jacobian column
  std::uint32_t patience =
      option_default<std::uint32_t>("max_iterations");  // budget: patience * (n + 1)
  // The Jacobian element by element (jacobian.hpp), a few times cheaper than
  // differencing the whole circuit; the default fit differences the whole.
  bool by_element = false;
};

struct LmRun {
  std::vector<double> params;  // physical
  Termination termination;
  std::uint64_t evaluations;  // residual evaluations the solver reports
};

// How a run of Eigen's solver ended, in the fits' own terms.
Termination termination_of(Eigen::LevenbergMarquardtSpace::Status status, double fnorm);

// One solver run from physical `start` (every parameter), moving the
// parameters listed in `free` only: the solver works in their solver
// coordinates (x = log10(max(p - lo, 1e-300)) where the box is open above),
// and a parameter not listed keeps its start value exactly and costs
// nothing. A `pinned` parameter (flags over every parameter; empty: none)
// stays in the solver's vector with a zero Jacobian column: the bound
// re-fit's way of holding, which keeps the solver's scaling of the free
// run. The default fit lists every parameter. `max_evaluations` > 0
// replaces the budget patience * (n_free + 1): the search's short runs.
// The returned params are physical, every parameter.
LmRun levenberg_marquardt_single_start(const FitProblem& problem, std::span<const double> start,
                                       std::span<const std::size_t> free,
                                       std::span<const bool> pinned, const LmSettings& settings,
                                       std::size_t max_evaluations = 0);

// The indices of the parameters not held, in order.
std::vector<std::size_t> free_indices(std::span<const bool> held);

// The nine starting points (physical) in table order.
std::vector<std::vector<double>> candidate_starting_points(std::span<const double> p0,
                                                           std::span<const Bounds> bounds);

// Strictly inside the box of every bounded parameter by a millionth of its
// width; log-scaled ones above 100 lo and within six decades of the start.
bool is_plausible(std::span<const double> p, std::span<const double> p0,
                  std::span<const Bounds> bounds);

// The ranking of a run against the best so far, in the multi-start and in
// the search alike: a failed run never replaces a successful one, whatever
// its cost; else the lower cost.
bool run_replaces_best(bool success, double cost, bool best_success, double best_cost);

// Whether a bound re-fit's cost beats the plain clamp's and replaces it.
bool refit_beats_clamp(double refit_cost, double clamped_cost);

struct Settled {
  std::vector<double> params;  // inside the bounds
  Termination termination;     // of the run that produced `params`
  std::uint64_t evaluations;   // solver evaluations spent to get there
  std::uint32_t runs = 0;      // solver runs started to get there
};

// Bound handling of a multi-start's best point: clamps it into the box and,
// when a free bounded parameter ended on or beyond a bound, re-fits the free
// others with those pinned there. The re-fit is kept when its cost beats
// the clamped point's, so the result never costs more than the plain clamp.
// `evaluations` and `runs` count the re-fit alone.
Settled settle_on_bounds(const FitProblem& problem, std::span<const double> best,
                         Termination termination, std::span<const std::size_t> free,
                         const LmSettings& settings);
// Every parameter free: the default fit's.
Settled settle_on_bounds(const FitProblem& problem, std::span<const double> best,
                         Termination termination, const LmSettings& settings);

// The multi-start from physical `p0` with the `held` parameters kept at
// p0's values (flags over every parameter; empty or all false: the default
// fit), then the bound handling. The plausibility test looks at the free
// parameters only: a held one may sit on its bound by the caller's choice.
Settled multi_start(const FitProblem& problem, std::span<const double> p0,
                    std::span<const bool> held, const LmSettings& settings);

// The multi-start with nothing held and its outcome, counted on the
// problem's counter: the method itself, the polish of the global methods
// and basin hopping's local fits.
FitOutcome multi_start_fit(const FitProblem& problem, std::span<const double> p0,
                           const LmSettings& settings);

// Method "levenberg_marquardt", from the problem's start values.
FitResultOr<FitOutcome> levenberg_marquardt_fit(const FitProblem& problem,
                                                const LevenbergMarquardtOptions& options);

}  // namespace kelvara
