#include "fit/residuals.hpp"

#include <algorithm>
#include <array>
#include <cmath>

#include "circuit/block_eval.hpp"
#include "circuit/spectrum_eval.hpp"
#include "circuit/tree.hpp"
#include "support/text_format.hpp"

namespace kelvara {

std::optional<bool> parse_weighting(std::string_view name) {
  if (name == "modulus") return true;
  if (name == "unit") return false;
  return std::nullopt;
}

std::string unknown_weighting_message(std::string_view name) {
  return "unknown weight scheme " + debug_quote(name) + ", expected \"modulus\" or \"unit\"";
}

std::vector<double> compute_weights(std::span<const Complex> impedances, bool modulus) {
  std::vector<double> w(impedances.size(), 1.0);
  if (modulus) {
    for (std::size_t k = 0; k < impedances.size(); ++k) {
      w[k] = std::fmax(std::hypot(impedances[k].real(), impedances[k].imag()), 1e-30);
    }
  }
  return w;
}

std::vector<double> angular_frequencies(std::span<const double> frequencies_hz) {
  std::vector<double> omegas(frequencies_hz.size());
  for (std::size_t k = 0; k < omegas.size(); ++k) omegas[k] = frequencies_hz[k] * kTwoPi;
  return omegas;
}

void residuals_into(const FitProblem& problem, std::span<const double> params,
                    std::span<double> out) {
  problem.counter.fetch_add(1, std::memory_order_relaxed);
  constexpr std::size_t kBlock = Element::kBlockPoints;
  std::array<Complex, kBlock> model;
  for (std::size_t start = 0; start < problem.points(); start += kBlock) {
    const std::size_t n = std::min(kBlock, problem.points() - start);
    impedance_at(problem.nodes, params, std::span(problem.omegas).subspan(start, n),
                 {model.data(), n});
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t k = start + i;
      const Complex z = problem.impedances[k];
      out[2 * k] = (model[i].real() - z.real()) / problem.weights[k];
      out[2 * k + 1] = (model[i].imag() - z.imag()) / problem.weights[k];
    }
  }
}

std::vector<double> residuals(const FitProblem& problem, std::span<const double> params) {
  std::vector<double> r(2 * problem.points());
  residuals_into(problem, params, r);
  return r;
}

double cost_of(std::span<const double> r) {
  double sum = 0.0;
  for (double v : r) sum += v * v;
  return 0.5 * sum;
}

double cost_at(const FitProblem& problem, std::span<const double> params) {
  return cost_of(residuals(problem, params));
}

bool is_log_scaled(const Bounds& b) { return !std::isfinite(b.hi); }

double to_physical(const Bounds& b, double x) {
  return is_log_scaled(b) ? std::pow(10.0, x) + b.lo : x;
}

double to_solver_coordinate(const Bounds& b, double p) {
  return is_log_scaled(b) ? std::log10(std::fmax(p - b.lo, 1e-300)) : p;
}

void physical_into(std::span<const Bounds> bounds, std::span<const double> x,
                   std::span<double> out) {
  const std::size_t n = std::min(bounds.size(), x.size());
  for (std::size_t i = 0; i < n; ++i) out[i] = to_physical(bounds[i], x[i]);
}

std::vector<double> physical(std::span<const Bounds> bounds, std::span<const double> x) {
  std::vector<double> p(std::min(bounds.size(), x.size()));
  physical_into(bounds, x, p);
  return p;
}

std::vector<double> to_solver_coordinates(std::span<const Bounds> bounds,
                                          std::span<const double> p) {
  const std::size_t n = std::min(bounds.size(), p.size());
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = to_solver_coordinate(bounds[i], p[i]);
  return x;
}

double SolverCost::operator()(std::span<const double> x) {
  // Every iterative method's evaluation passes here: the place to notice a
  // request to stop, however large its budget or population.
  problem_->interrupt.poll();
  const std::size_t n = std::min(problem_->bounds.size(), x.size());
  physical_into(problem_->bounds, x, params_);
  residuals_into(*problem_, std::span(params_).first(n), residuals_);
  return cost_of(residuals_);
}

}  // namespace kelvara
