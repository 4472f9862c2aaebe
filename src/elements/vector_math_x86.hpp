#pragma once
// The libmvec kernels, each over a whole number of vectors: n is rounded up
// to a multiple of the vector length and the arrays must hold that many.

#include <cstddef>

namespace kelvara::vector_math::x86 {

void pow_avx2(const double* x, double p, double* out, std::size_t n);
void sinh_cosh_avx2(const double* x, double* sh, double* ch, std::size_t n);
void sin_cos_avx2(const double* x, double* s, double* c, std::size_t n);
void pow_avx512(const double* x, double p, double* out, std::size_t n);
void sinh_cosh_avx512(const double* x, double* sh, double* ch, std::size_t n);
void sin_cos_avx512(const double* x, double* s, double* c, std::size_t n);

}  // namespace kelvara::vector_math::x86
