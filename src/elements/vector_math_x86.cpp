// Compiled only where libmvec exists (x86-64 glibc). Every function carries
// its own target, so nothing else in the module is built for AVX2 or AVX-512;
// callers check the processor first.
#ifdef KELVARA_HAVE_LIBMVEC

#include "elements/vector_math_x86.hpp"

#include <immintrin.h>

#define KELVARA_AVX2 __attribute__((target("avx2")))
#define KELVARA_AVX512 __attribute__((target("avx512f")))

extern "C" {
KELVARA_AVX2 __m256d _ZGVdN4vv_pow(__m256d, __m256d);
KELVARA_AVX2 __m256d _ZGVdN4v_sinh(__m256d);
KELVARA_AVX2 __m256d _ZGVdN4v_cosh(__m256d);
KELVARA_AVX2 __m256d _ZGVdN4v_sin(__m256d);
KELVARA_AVX2 __m256d _ZGVdN4v_cos(__m256d);
KELVARA_AVX512 __m512d _ZGVeN8vv_pow(__m512d, __m512d);
KELVARA_AVX512 __m512d _ZGVeN8v_sinh(__m512d);
KELVARA_AVX512 __m512d _ZGVeN8v_cosh(__m512d);
KELVARA_AVX512 __m512d _ZGVeN8v_sin(__m512d);
KELVARA_AVX512 __m512d _ZGVeN8v_cos(__m512d);
}

namespace kelvara::vector_math::x86 {

KELVARA_AVX2 void pow_avx2(const double* x, double p, double* out, std::size_t n) {
  const __m256d pv = _mm256_set1_pd(p);
  for (std::size_t i = 0; i < n; i += 4)
    _mm256_storeu_pd(out + i, _ZGVdN4vv_pow(_mm256_loadu_pd(x + i), pv));
}

KELVARA_AVX2 void sinh_cosh_avx2(const double* x, double* sh, double* ch, std::size_t n) {
  for (std::size_t i = 0; i < n; i += 4) {
    const __m256d v = _mm256_loadu_pd(x + i);
    _mm256_storeu_pd(sh + i, _ZGVdN4v_sinh(v));
    _mm256_storeu_pd(ch + i, _ZGVdN4v_cosh(v));
  }
}

KELVARA_AVX2 void sin_cos_avx2(const double* x, double* s, double* c, std::size_t n) {
  for (std::size_t i = 0; i < n; i += 4) {
    const __m256d v = _mm256_loadu_pd(x + i);
    _mm256_storeu_pd(s + i, _ZGVdN4v_sin(v));
    _mm256_storeu_pd(c + i, _ZGVdN4v_cos(v));
  }
}

KELVARA_AVX512 void pow_avx512(const double* x, double p, double* out, std::size_t n) {
  const __m512d pv = _mm512_set1_pd(p);
  for (std::size_t i = 0; i < n; i += 8)
    _mm512_storeu_pd(out + i, _ZGVeN8vv_pow(_mm512_loadu_pd(x + i), pv));
}

KELVARA_AVX512 void sinh_cosh_avx512(const double* x, double* sh, double* ch, std::size_t n) {
  for (std::size_t i = 0; i < n; i += 8) {
    const __m512d v = _mm512_loadu_pd(x + i);
    _mm512_storeu_pd(sh + i, _ZGVeN8v_sinh(v));
    _mm512_storeu_pd(ch + i, _ZGVeN8v_cosh(v));
  }
}

KELVARA_AVX512 void sin_cos_avx512(const double* x, double* s, double* c, std::size_t n) {
  for (std::size_t i = 0; i < n; i += 8) {
    const __m512d v = _mm512_loadu_pd(x + i);
    _mm512_storeu_pd(s + i, _ZGVeN8v_sin(v));
    _mm512_storeu_pd(c + i, _ZGVeN8v_cos(v));
  }
}

}  // namespace kelvara::vector_math::x86

#endif  // KELVARA_HAVE_LIBMVEC
