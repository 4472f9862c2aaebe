#include "validity/kernels.hpp"

#include "support/cpu_features.hpp"

namespace kelvara {
namespace {

// Four rows at a time: each entry of G is loaded and stored once per four
// rows, and its four updates keep the row order.
[[gnu::always_inline]] inline void gram_body(const double* a, std::size_t m, std::size_t k,
                                             double* g) {
  std::size_t i = 0;
  for (; i + 4 <= m; i += 4) {
    const double* r0 = a + i * k;
    const double* r1 = r0 + k;
    const double* r2 = r1 + k;
    const double* r3 = r2 + k;
    for (std::size_t c = 0; c < k; ++c) {
      const double s0 = r0[c], s1 = r1[c], s2 = r2[c], s3 = r3[c];
      double* gc = g + c * k;
      for (std::size_t d = 0; d <= c; ++d) {
        double v = gc[d];
        v += s0 * r0[d];
        v += s1 * r1[d];
        v += s2 * r2[d];
        v += s3 * r3[d];
        gc[d] = v;
      }
    }
  }
  for (; i < m; ++i) {
    const double* r = a + i * k;
    for (std::size_t c = 0; c < k; ++c) {
      const double s = r[c];
      double* gc = g + c * k;
      for (std::size_t d = 0; d <= c; ++d) gc[d] += s * r[d];
    }
  }
}

[[gnu::always_inline]] inline void rows_body(const double* omegas, const double* weights,
                                             std::size_t n, const double* tau, std::size_t k,
                                             bool real, bool imag, double* out) {
  const std::size_t parts = std::size_t(real) + std::size_t(imag);
  for (std::size_t i = 0; i < n; ++i) {
    const double om = omegas[i], w = weights[i];
    double* first = out + i * parts * k;
    if (real && imag) {
      double* second = first + k;
      for (std::size_t c = 0; c < k; ++c) {
        const double x = om * tau[c];
        const double re = 1.0 / (1.0 + x * x);
        first[c] = re * w;
        second[c] = (-x * re) * w;
      }
    } else if (real) {
      for (std::size_t c = 0; c < k; ++c) {
        const double x = om * tau[c];
        first[c] = (1.0 / (1.0 + x * x)) * w;
      }
    } else {
      for (std::size_t c = 0; c < k; ++c) {
        const double x = om * tau[c];
        const double re = 1.0 / (1.0 + x * x);
        first[c] = (-x * re) * w;
      }
    }
  }
}

[[gnu::always_inline]] inline void model_body(const double* omegas, std::size_t n,
                                              const double* tau, const double* r, std::size_t k,
                                              double* re, double* im) {
  for (std::size_t c = 0; c < k; ++c) {
    const double t = tau[c], rc = r[c];
    for (std::size_t i = 0; i < n; ++i) {
      const double x = omegas[i] * t;
      const double g = 1.0 / (1.0 + x * x);
      re[i] += rc * g;
      im[i] += rc * (-x * g);
    }
  }
}

void gram_baseline(const double* a, std::size_t m, std::size_t k, double* g) {
  gram_body(a, m, k, g);
}
void rows_baseline(const double* om, const double* w, std::size_t n, const double* tau,
                   std::size_t k, bool real, bool imag, double* out) {
  rows_body(om, w, n, tau, k, real, imag, out);
}
void model_baseline(const double* om, std::size_t n, const double* tau, const double* r,
                    std::size_t k, double* re, double* im) {
  model_body(om, n, tau, r, k, re, im);
}

#if defined(__x86_64__)
#define KELVARA_AVX2 __attribute__((target("avx2")))
KELVARA_AVX2 void gram_avx2(const double* a, std::size_t m, std::size_t k, double* g) {
  gram_body(a, m, k, g);
}
KELVARA_AVX2 void rows_avx2(const double* om, const double* w, std::size_t n, const double* tau,
                            std::size_t k, bool real, bool imag, double* out) {
  rows_body(om, w, n, tau, k, real, imag, out);
}
KELVARA_AVX2 void model_avx2(const double* om, std::size_t n, const double* tau, const double* r,
                             std::size_t k, double* re, double* im) {
  model_body(om, n, tau, r, k, re, im);
}
#define KELVARA_AVX512 __attribute__((target("avx512f,prefer-vector-width=512")))
KELVARA_AVX512 void gram_avx512(const double* a, std::size_t m, std::size_t k, double* g) {
  gram_body(a, m, k, g);
}
KELVARA_AVX512 void rows_avx512(const double* om, const double* w, std::size_t n, const double* tau,
                                std::size_t k, bool real, bool imag, double* out) {
  rows_body(om, w, n, tau, k, real, imag, out);
}
KELVARA_AVX512 void model_avx512(const double* om, std::size_t n, const double* tau,
                                 const double* r, std::size_t k, double* re, double* im) {
  model_body(om, n, tau, r, k, re, im);
}

bool has_avx512() {
  static const bool has = __builtin_cpu_supports("avx512f");
  return has;
}
#endif

}  // namespace

void add_gram_lower(const double* a, std::size_t m, std::size_t k, double* g) {
#if defined(__x86_64__)
  if (has_avx512()) return gram_avx512(a, m, k, g);
  if (cpu_has_avx2()) return gram_avx2(a, m, k, g);
#endif
  gram_baseline(a, m, k, g);
}

void rc_rows(const double* omegas, const double* weights, std::size_t n, const double* tau,
             std::size_t k, bool real, bool imag, double* out) {
#if defined(__x86_64__)
  if (has_avx512()) return rows_avx512(omegas, weights, n, tau, k, real, imag, out);
  if (cpu_has_avx2()) return rows_avx2(omegas, weights, n, tau, k, real, imag, out);
#endif
  rows_baseline(omegas, weights, n, tau, k, real, imag, out);
}

void add_rc_model(const double* omegas, std::size_t n, const double* tau, const double* r,
                  std::size_t k, double* re, double* im) {
#if defined(__x86_64__)
  if (has_avx512()) return model_avx512(omegas, n, tau, r, k, re, im);
  if (cpu_has_avx2()) return model_avx2(omegas, n, tau, r, k, re, im);
#endif
  model_baseline(omegas, n, tau, r, k, re, im);
}

}  // namespace kelvara
