#pragma once
// Element-wise pow, sinh/cosh and sin/cos over one block of points, through
// glibc's vector math library (libmvec) where the processor has AVX-512 or
// AVX2, and the scalar libm elsewhere. These few functions are most of an
// evaluation's time; the vector versions are within a few units in the last
// place of the scalar ones.
//
// A point's result never depends on its neighbours or its place in the
// block: partial vectors are padded, never finished with scalar calls, so the
// single-frequency and block evaluations agree bit for bit.

#include <cstddef>

namespace kelvara::vector_math {

inline constexpr std::size_t kMaxPoints = 64;

// out[i] = pow(x[i], p)
void pow_each(const double* x, double p, double* out, std::size_t n);
// sh[i] = sinh(x[i]), ch[i] = cosh(x[i])
void sinh_cosh_each(const double* x, double* sh, double* ch, std::size_t n);
// s[i] = sin(x[i]), c[i] = cos(x[i])
void sin_cos_each(const double* x, double* s, double* c, std::size_t n);

// Which implementation the calls above use on this processor.
enum class Level { Scalar, Avx2, Avx512 };
Level active_level();
// The calls above at a given level (for tests); Avx2 and Avx512 only where
// the processor supports them and the build has libmvec.
void pow_each_at(Level level, const double* x, double p, double* out, std::size_t n);
void sinh_cosh_each_at(Level level, const double* x, double* sh, double* ch, std::size_t n);
void sin_cos_each_at(Level level, const double* x, double* s, double* c, std::size_t n);
bool level_available(Level level);

}  // namespace kelvara::vector_math
