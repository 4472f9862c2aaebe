#include "fit/search.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <numeric>

#include "fit/search_starts.hpp"
#include "support/invariant.hpp"
#include "support/total_order.hpp"
#include "support/worker_pool.hpp"

namespace kelvara {
namespace {

struct End {
  std::vector<double> params;
  double cost;
  Termination termination;
  std::uint64_t evaluations = 0;  // solver evaluations spent on this end
  std::uint32_t runs = 0;         // solver runs
};

// Indices of `costs` from the cheapest, ties in index order; NaN last.
std::vector<std::size_t> ranked(std::span<const double> costs) {
  std::vector<std::size_t> order(costs.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return total_order_key(costs[a]) < total_order_key(costs[b]);
  });
  return order;
}

// Two ends in the same minimum: costs within a millionth.
bool same_minimum(double a, double b) {
  return std::fabs(a - b) <= 1e-6 * std::fmax(std::fabs(a), std::fabs(b));
}

double nan_to_inf(double c) { return std::isnan(c) ? INFINITY : c; }

// The multi-start's ranking (a failed run never replaces a converged one),
// with a NaN cost ranked as the worst.
bool better(const End& a, const End& b) {
  return run_replaces_best(is_success(a.termination), nan_to_inf(a.cost), is_success(b.termination),
                           nan_to_inf(b.cost));
}

// `better`, by more than rounding: ends in one minimum reached along different
// paths differ in the last digits of their cost, and an arc relabelled (the
// same minimum with two arcs swapped) must not displace the caller's order.
bool clearly_better(const End& a, const End& b) {
  if (!better(a, b)) return false;
  if (is_success(a.termination) != is_success(b.termination)) return true;
  return !(std::fabs(a.cost - b.cost) <= 1e-9 * std::fmax(std::fabs(a.cost), std::fabs(b.cost)));
}

// Starts the search polishes side by side before it asks whether they agree.
constexpr std::size_t kPolishBatch = 4;

// The index of the best end, the earliest among ends within rounding of it.
std::size_t best_of(std::span<const End> ends) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < ends.size(); ++i) {
    if (clearly_better(ends[i], ends[best])) best = i;
  }
  return best;
}

// How many successful ends share `best`'s minimum.
std::size_t agreeing_with(std::span<const End> ends, const End& best) {
  return std::size_t(std::count_if(ends.begin(), ends.end(), [&](const End& e) {
    return is_success(e.termination) && same_minimum(e.cost, best.cost);
  }));
}

End end_of(const FitProblem& problem, LmRun run) {
  clamp_into_bounds(run.params, problem.bounds);
  const double cost = cost_at(problem, run.params);
  return {std::move(run.params), cost, run.termination, run.evaluations, 1};
}

End end_of(const FitProblem& problem, Settled settled) {
  const double cost = cost_at(problem, settled.params);
  return {std::move(settled.params), cost, settled.termination, settled.evaluations, settled.runs};
}

// The work of a batch of ends, into the search's totals.
void tally(std::span<const End> ends, std::uint64_t& evaluations, std::size_t& runs) {
  for (const End& e : ends) evaluations += e.evaluations, runs += e.runs;
}

// The search's own runs differentiate element by element; only the caller's
// first start is polished as the local fit polishes it.
LmSettings search_settings(const LmSettings& lm) {
  LmSettings s = lm;
  s.by_element = true;
  return s;
}

std::vector<End> short_runs(const FitProblem& problem,
                            const std::vector<std::vector<double>>& starts,
                            std::span<const std::size_t> free, const EngineRequest& request) {
  std::vector<End> ends(starts.size());
  const std::size_t budget = request.settings.short_iterations * (free.size() + 1);
  const LmSettings lm = search_settings(request.lm);
  parallel_for_each_index(starts.size(), [&](std::size_t i) {
    ends[i] =
        end_of(problem, levenberg_marquardt_single_start(problem, starts[i], free, {}, lm, budget));
  });
  return ends;
}

// Full multi-starts from `starts`; the first as the local fit runs it where
// `first_is_local`.
std::vector<End> polish(const FitProblem& problem, std::span<const std::vector<double>> starts,
                        const EngineRequest& request, bool first_is_local) {
  std::vector<End> ends(starts.size());
  const LmSettings lm = search_settings(request.lm);
  parallel_for_each_index(starts.size(), [&](std::size_t i) {
    const LmSettings& settings = i == 0 && first_is_local ? request.lm : lm;
    ends[i] = end_of(problem, multi_start(problem, starts[i], request.held(), settings));
  });
  return ends;
}

// Starts from `best` where a parameter lies decades outside the range the
// spectrum gives it: all such parameters put back to the middle of their
// ranges, then the whole series item holding one (an element, or an arc with
// all it holds) taken from each structured start in turn, the rest kept.
std::vector<std::vector<double>> revived(const End& best, std::span<const DrawRange> ranges,
                                         std::span<const bool> held,
                                         std::span<const ItemSpan> items,
                                         const std::vector<std::vector<double>>& structured) {
  std::vector<std::vector<double>> out;
  // First every such parameter at once, put back to the middle of its range.
  std::vector<double> middle = best.params;
  bool any = false;
  for (std::size_t i = 0; i < ranges.size(); ++i) {
    if (held[i] || !ranges[i].logarithmic || !(best.params[i] > 0.0)) continue;
    const double x = std::log10(best.params[i]);
    if (x > ranges[i].lo - 3.0 && x < ranges[i].hi + 3.0) continue;
    middle[i] = std::pow(10.0, 0.5 * (ranges[i].lo + ranges[i].hi));
    any = true;
  }
  if (!any) return out;
  out.push_back(std::move(middle));
  for (const ItemSpan& item : items) {
    bool collapsed = false;
    for (std::size_t i = item.first; i < item.first + item.count; ++i) {
      if (held[i] || !ranges[i].logarithmic || !(best.params[i] > 0.0)) continue;
      const double x = std::log10(best.params[i]);
      collapsed = collapsed || x <= ranges[i].lo - 3.0 || x >= ranges[i].hi + 3.0;
    }
    if (!collapsed) continue;
    for (std::size_t k = 0; k < std::min<std::size_t>(structured.size(), 4); ++k) {
      std::vector<double> p = best.params;
      for (std::size_t i = item.first; i < item.first + item.count; ++i) {
        if (!held[i]) p[i] = structured[k][i];
      }
      out.push_back(std::move(p));
    }
    if (out.size() >= 9) break;
  }
  return out;
}

}  // namespace

EngineOutcome engine_fit(const FitProblem& problem, const EngineRequest& request) {
  if (request.starts.empty()) invariant_failed("engine_fit needs at least one start");
  const std::vector<std::size_t> free = free_indices(request.held());
  const std::vector<double>& first = request.starts.front();
  std::uint64_t evaluations = 0;  // solver evaluations, every run
  std::size_t runs = 0;           // solver runs

  // The caller's first start, as a local fit would take it: always polished.
  std::vector<std::vector<double>> polish_from{first};
  if (request.search && !free.empty()) {
    const SpectrumScales scales = spectrum_scales(problem.omegas, problem.impedances);
    const std::vector<DrawRange> ranges = draw_ranges(problem.nodes, scales, problem.bounds);
    std::vector<std::vector<double>> candidates(request.starts.begin() + 1, request.starts.end());
    const std::vector<std::vector<double>> structured = structured_starts(
        problem.nodes, scales, problem.bounds, first, request.held(), request.settings.structured);
    const std::size_t structured_from = candidates.size();
    candidates.insert(candidates.end(), structured.begin(), structured.end());
    // The cheapest of the quasi-random draws.
    std::vector<std::vector<double>> draws =
        quasi_random_starts(ranges, first, request.held(), request.settings.quasi_random,
                            request.settings.seed, &problem.interrupt);
    // Costed in blocks, so that a large effort still answers an interrupt.
    std::vector<double> draw_costs(draws.size());
    constexpr std::size_t kBlock = 4096;
    for (std::size_t from = 0; from < draws.size(); from += kBlock) {
      problem.interrupt.poll();
      const std::size_t n = std::min(kBlock, draws.size() - from);
      parallel_for_each_index(
          n, [&](std::size_t i) { draw_costs[from + i] = cost_at(problem, draws[from + i]); });
    }
    const std::vector<std::size_t> order = ranked(draw_costs);
    for (std::size_t k = 0; k < std::min(request.settings.screened, order.size()); ++k) {
      candidates.push_back(std::move(draws[order[k]]));
    }
    problem.interrupt.poll();
    for (auto& c : candidates) clamp_into_bounds(c, problem.bounds);

    const std::vector<End> ends = short_runs(problem, candidates, free, request);
    tally(ends, evaluations, runs);
    std::vector<double> costs(ends.size());
    for (std::size_t i = 0; i < ends.size(); ++i) costs[i] = ends[i].cost;
    // The cheapest short ends, then the cheapest of the structured starts'
    // besides: on circuits of many elements the cheapest short ends can all
    // lie in one poor basin (an arc collapsed, a resistance at its floor),
    // from which the polish does not climb out.
    std::vector<std::vector<double>> picked;
    std::vector<double> kept_costs;
    const std::size_t structured_to = structured_from + structured.size();
    auto pick = [&](std::size_t limit, bool structured_only) {
      for (std::size_t i : ranked(costs)) {
        if (picked.size() >= limit) break;
        if (!std::isfinite(ends[i].cost)) break;
        if (structured_only && (i < structured_from || i >= structured_to)) continue;
        const bool repeat = std::any_of(kept_costs.begin(), kept_costs.end(),
                                        [&](double c) { return same_minimum(c, ends[i].cost); });
        if (repeat) continue;
        kept_costs.push_back(ends[i].cost);
        picked.push_back(ends[i].params);
      }
    };
    pick(request.settings.polished, false);
    pick(request.settings.polished + request.settings.structured_polished, true);
    // With parameters held, the minimum of the fit that frees them, with the
    // held values put back, starts near the held fit's own minimum where
    // arcs overlap and no feature separates them.
    if (free.size() < first.size()) {
      Settled unheld = multi_start(problem, first, {}, search_settings(request.lm));
      evaluations += unheld.evaluations, runs += unheld.runs;
      for (std::size_t i = 0; i < first.size(); ++i) {
        if (request.held()[i]) unheld.params[i] = first[i];
      }
      polish_from.push_back(std::move(unheld.params));
    }
    const std::size_t leading = polish_from.size();  // always polished
    polish_from.insert(polish_from.end(), picked.begin(), picked.end());
    // A few at a time, the best short ends first: once enough polished ends
    // share the best minimum, more starts would only find it again.
    std::vector<End> polished;
    std::size_t best = 0, agreeing = 0;
    for (std::size_t from = 0; from < polish_from.size() && agreeing < request.settings.agreed;) {
      const std::size_t to =
          std::min(polish_from.size(), from + (from == 0 ? leading : 0) + kPolishBatch);
      problem.interrupt.poll();
      std::vector<End> batch =
          polish(problem, std::span(polish_from).subspan(from, to - from), request, from == 0);
      tally(batch, evaluations, runs);
      std::move(batch.begin(), batch.end(), std::back_inserter(polished));
      best = best_of(polished);
      agreeing = agreeing_with(polished, polished[best]);
      from = to;
    }
    std::vector<double> end_costs;
    for (const End& e : polished) end_costs.push_back(e.cost);
    // A parameter far outside its scale is often an element that collapsed
    // on the way; revived, the fit may find the arc it stands for.
    const std::vector<std::vector<double>> again = revived(
        polished[best], ranges, request.held(), series_item_spans(problem.nodes), structured);
    if (!again.empty()) {
      std::vector<End> more = polish(problem, again, request, false);
      tally(more, evaluations, runs);
      for (End& e : more) {
        end_costs.push_back(e.cost);
        if (clearly_better(e, polished[best])) polished[best] = std::move(e), agreeing = 0;
      }
    }
    // Hops around the best end: a minimum a little lower often lies a short
    // way off, across a ridge the polish cannot see over. Where enough
    // polished ends agree on it, none was found in the development suite.
    const std::size_t hop_count = agreeing >= request.settings.agreed ? 0 : request.settings.hops;
    const std::vector<std::vector<double>> hops =
        perturbed_starts(polished[best].params, ranges, problem.bounds, request.held(), hop_count,
                         request.settings.seed, &problem.interrupt);
    std::vector<End> hopped(hops.size());
    const LmSettings hop_lm = search_settings(request.lm);
    parallel_for_each_index(hops.size(), [&](std::size_t i) {
      hopped[i] =
          end_of(problem, levenberg_marquardt_single_start(problem, hops[i], free, {}, hop_lm));
    });
    tally(hopped, evaluations, runs);
    for (End& e : hopped) {
      end_costs.push_back(e.cost);
      if (clearly_better(e, polished[best])) polished[best] = std::move(e);
    }
    EngineOutcome out;
    FreeOutcome built = build_free_outcome(problem, polished[best].params, request.held(),
                                           is_success(polished[best].termination),
                                           polished[best].termination, evaluations);
    out.outcome = std::move(built.outcome);
    out.covariance = std::move(built.covariance);
    out.solver_runs = runs;
    std::sort(end_costs.begin(), end_costs.end(),
              [](double a, double b) { return total_order_key(a) < total_order_key(b); });
    out.end_costs = std::move(end_costs);
    return out;
  }

  Settled settled = multi_start(problem, first, request.held(), request.lm);
  EngineOutcome out;
  FreeOutcome built =
      build_free_outcome(problem, std::move(settled.params), request.held(),
                         is_success(settled.termination), settled.termination, settled.evaluations);
  out.outcome = std::move(built.outcome);
  out.covariance = std::move(built.covariance);
  out.solver_runs = settled.runs;
  return out;
}

}  // namespace kelvara
