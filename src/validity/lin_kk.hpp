#pragma once
// The Lin-KK test (Schönleber et al., Electrochim. Acta 131 (2014) 20): is
// a spectrum reproduced by a Kramers-Kronig-compliant circuit
//   Z(w) = R0 + sum_k R_k / (1 + j w tau_k) (+ j w L) (+ 1 / (j w C)),
// the tau_k fixed and log-spaced from 1/w_max to 1/w_min? Fitting is then
// linear least squares on the residuals weighted by 1/|Z| (or 1).
//
// The number of RC elements M: over-fitting shows up as resistances of
// alternating sign, mu = 1 - sum(|R_k|, R_k < 0) / sum(|R_k|, R_k >= 0).
// The counts are scanned upward from a minimum tied to the window
// (kRcPerDecade per decade, at least 3), and M_mu is the count from which mu
// stays below the criterion for kSettleCounts counts running, where the
// scan stops (Yrjänä and Bobacka, Electrochim. Acta 504 (2024) 144951). The
// grids of successive M are not nested, so the test keeps the best fit
// (lowest pseudo chi-square) among the counts from the minimum to M_mu; a mu
// that never settles makes every scanned count a candidate.
//
// kelvara_lab's validity test wraps this with its report (noise estimate,
// pass or fail); the numbers are computed here, off the interpreter.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "circuit/node.hpp"

namespace kelvara {

inline constexpr double kMuCriterion = 0.85;
inline constexpr double kRcPerDecade = 2.0;
inline constexpr std::size_t kSettleCounts = 10;
inline constexpr std::size_t kMaxRc = 50;

enum class KkPart { Complex, Real, Imag };

struct LinKkOptions {
  double mu_criterion = kMuCriterion;  // in (0, 1]
  std::optional<std::size_t> min_rc;   // none: kRcPerDecade per decade, at least 3
  std::size_t max_rc = kMaxRc;
  std::optional<std::size_t> num_rc;  // fixes M; the scan is skipped
  KkPart part = KkPart::Complex;      // the parts fitted
  bool add_inductance = true;
  std::optional<bool> add_capacitance;  // none: when the low-frequency end is capacitive
  bool modulus = true;                  // weights 1/|Z|, else 1
};

struct LinKkResult {
  std::vector<double> time_constants;  // M of them
  // R0, R_1 .. R_M, then L and 1/C where added.
  std::vector<double> values;
  std::vector<Complex> fitted;
  double pseudo_chi_square = 0.0;  // sum |Z - Z_fit|^2 / |Z|^2
  double mu = 0.0;
  bool mu_reached = false;
  bool add_capacitance = false;
};

// Whether -Im(Z) is positive and still rising over the three lowest
// frequencies: a blocking electrode or a diffusion tail, whose series
// capacitance no RC inside the window can stand in for.
bool capacitive_end(std::span<const double> frequencies_hz, std::span<const Complex> impedances);

// kRcPerDecade per decade of the window, at least 3.
std::size_t min_rc_for(std::span<const double> frequencies_hz);

// M time constants, log-spaced from 1/(2 pi f_max) to 1/(2 pi f_min).
std::vector<double> time_constants(std::span<const double> frequencies_hz, std::size_t m);

// The test on a spectrum, or the message of what is wrong with it or with
// the options. The counts of one scan are solved in parallel on the pool.
std::variant<LinKkResult, std::string> lin_kk(std::span<const double> frequencies_hz,
                                              std::span<const Complex> impedances,
                                              const LinKkOptions& options);

}  // namespace kelvara
