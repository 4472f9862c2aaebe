#pragma once
// The fit of kelvara_lab's engine: any circuit, some parameters held, the
// others inside a box of the caller's, from the caller's starts and, with
// the search on, from starts scaled from the spectrum itself.
//
// The search runs, in parallel over starts on the shared pool:
//   1. a few hundred quasi-random starts, of which the cheapest are kept;
//   2. short solver runs from those, from the structured starts and from
//      the caller's starts;
//   3. the default fit's multi-start (multi_start) from the caller's first
//      start, so that the search never ends above what a local fit from
//      that start finds, and from the best few ends, a few at a time until
//      enough of them agree on the best minimum;
//   4. where a parameter ended decades outside the scales of the spectrum
//      (an element that collapsed on the way), polishes with the series item
//      holding it laid out afresh from the structured starts;
//   5. full runs from a few points around the best end, unless enough
//      polished ends agreed on it.
// Every choice is ranked by cost, ties by start order, so the result is the
// same for the same input and seed whatever the number of threads. The
// search's runs differentiate element by element (fit/jacobian.hpp); the
// caller's first start alone is polished exactly as the local fit runs it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "fit/free_fit.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "support/interrupt.hpp"

namespace kelvara {

struct SearchSettings {
  std::size_t quasi_random = 256;       // drawn, each costing one evaluation
  std::size_t screened = 16;            // of those, the cheapest run briefly
  std::size_t structured = 24;          // at most
  std::size_t short_iterations = 4;     // evaluation budget of a short run: this times (n + 1)
  std::size_t polished = 4;             // best short ends given the full multi-start
  std::size_t structured_polished = 1;  // and, besides, best short ends of structured starts
  std::size_t hops = 8;                 // full runs from points around the best end
  // Polished ends sharing the best minimum that stop the polishing (the rest
  // of the best short ends are left) and skip the hops; one more per effort
  // step beyond the first.
  std::size_t agreed = 2;
  std::uint64_t seed = 0;

  // A quarter of the draws, starts and polishes: the search a screen of many
  // candidate circuits affords, where the best few get the full search after.
  static SearchSettings quick() {
    SearchSettings s;
    s.quasi_random = 64, s.screened = 4, s.structured = 8, s.polished = 1, s.hops = 2;
    s.structured_polished = 0;
    return s;
  }
};

struct EngineRequest {
  std::vector<Bounds> box;  // per parameter, inside the catalogue's
  // Per parameter. Not std::vector<bool>, which cannot be viewed as a span.
  std::unique_ptr<bool[]> held_flags;
  std::vector<std::vector<double>>
      starts;  // physical; at least one; held values taken from the first
  bool search = true;
  bool modulus = true;  // the weighting
  LmSettings lm;
  SearchSettings settings;

  std::span<const bool> held() const { return {held_flags.get(), box.size()}; }
};

struct EngineOutcome {
  FitOutcome outcome;
  Eigen::MatrixXd covariance;  // n x n, NaN where not determined
  // outcome.iterations: solver evaluations over every run, as the default
  // fit counts them.
  std::size_t solver_runs = 0;
  // The cost at the end of every full run of the search (the polished starts,
  // the revived ones and the hops), ascending; empty without the search. How
  // many of them reach the best cost says how sure the search is of it.
  std::vector<double> end_costs;
};

// `problem.bounds` must already be the request's box. Throws FitInterrupted
// when the problem's interrupt hook asks to stop.
EngineOutcome engine_fit(const FitProblem& problem, const EngineRequest& request);

}  // namespace kelvara
