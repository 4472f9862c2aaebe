#pragma once
// The loops that dominate the Lin-KK test of a long spectrum (2N rows, up to
// fifty columns, for every count M scanned): building the rows of the RC
// columns, their Gram matrix, and the model they give. Each is compiled
// twice, for the baseline and for AVX2, and picked by the processor.
//
// Every loop vectorises over independent outputs, never across a sum: each
// entry keeps its own accumulator and its additions keep their order, so
// the wider copies compute the same bits as the baseline ones.

#include <cstddef>

namespace kelvara {

// G += A^T A over the lower triangle. `a`: m rows of k entries each, row
// after row; `g`: k x k, row after row; entries with column <= row only.
void add_gram_lower(const double* a, std::size_t m, std::size_t k, double* g);

// The weighted rows of the columns 1 / (1 + j w tau_c) at n points: with
// x = w tau_c, re = 1 / (1 + x^2) and im = -x re, each times the point's
// weight (tau_c = 0 gives the series resistance's column, 1 and 0). Point
// i's real row starts at out + (i * parts) * k, its imaginary row right
// after it when both are asked (parts = real + imag).
void rc_rows(const double* omegas, const double* weights, std::size_t n, const double* tau,
             std::size_t k, bool real, bool imag, double* out);

// re[i] += sum_c r_c / (1 + x^2), im[i] += sum_c r_c (-x / (1 + x^2)), x =
// w_i tau_c, summed over c in order.
void add_rc_model(const double* omegas, std::size_t n, const double* tau, const double* r,
                  std::size_t k, double* re, double* im);

}  // namespace kelvara
