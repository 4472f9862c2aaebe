#include "validity/lin_kk.hpp"

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <Eigen/QR>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "support/text_format.hpp"
#include "support/worker_pool.hpp"
#include "validity/kernels.hpp"

namespace kelvara {
namespace {

constexpr double kTwoPiKk = 2.0 * 3.141592653589793;
constexpr double kEps = std::numeric_limits<double>::epsilon();
// Above this many rows the least squares goes through A^T A with
// corrections: a Householder or SVD sweep per column is bound by memory
// traffic on a long spectrum, where one pass forms A^T A.
constexpr std::size_t kTallRows = 20000;
// Corrected semi-normal equations match a QR solution while cond(A)^2 eps
// stays well below 1 (Björck, Numerical Methods for Least Squares Problems,
// 1996, sec. 2.5.3); above this the SVD takes over.
constexpr double kNormalEquationsMaxCond = 1e7;
constexpr int kCorrections = 3;
// Points per block of rows when A is never formed whole.
constexpr std::size_t kBlockPoints = 256;

using Eigen::Index;
using Eigen::MatrixXd;
using Eigen::VectorXd;

// The columns of the circuit at one angular frequency: R0, the RC elements,
// then L and 1/C where added. 1 / (1 + j x) = (1 - j x) / (1 + x^2) in real
// arithmetic.
struct Basis {
  std::span<const double> omegas;
  std::span<const double> tau;
  bool inductance;
  bool capacitance;

  std::size_t columns() const { return 1 + tau.size() + inductance + capacitance; }

  Complex at(std::size_t i, std::size_t c) const {
    const double w = omegas[i];
    if (c == 0) return {1.0, 0.0};
    if (c <= tau.size()) {
      const double x = w * tau[c - 1];
      const double re = 1.0 / (1.0 + x * x);
      return {re, -x * re};
    }
    if (inductance && c == tau.size() + 1) return {0.0, w};
    return {0.0, -(1.0 / w)};
  }
};

using RowMatrix = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// The rows of a least-squares system over the points: the weighted real
// parts of the listed columns, the weighted imaginary parts, or both (a
// point's real row, then its imaginary row), and the right-hand side alike.
struct Rows {
  const Basis& basis;
  std::span<const double> weight;
  std::span<const Complex> rhs;  // complex; its parts are weighted
  bool real;
  bool imag;
  std::vector<std::size_t> cols;
  std::vector<double> tau = column_taus();  // per listed column; 0 where not an RC element
  // The columns are listed in order: from here on, L and C.
  std::size_t first_extra = std::size_t(
      std::find_if(cols.begin(), cols.end(), [&](std::size_t c) { return c > basis.tau.size(); }) -
      cols.begin());

  std::vector<double> column_taus() const {
    std::vector<double> out(cols.size(), 0.0);
    for (std::size_t k = 0; k < cols.size(); ++k) {
      if (cols[k] >= 1 && cols[k] <= basis.tau.size()) out[k] = basis.tau[cols[k] - 1];
    }
    return out;
  }

  std::size_t parts() const { return std::size_t(real) + std::size_t(imag); }
  std::size_t points() const { return weight.size(); }
  std::size_t count() const { return points() * parts(); }

  // Rows of points [first, first + n) into a (rows x cols) and b. The RC
  // columns' loop runs over contiguous time constants and vectorises; with
  // tau = 0 the same formula gives R0's column, (1, 0).
  void block(std::size_t first, std::size_t n, RowMatrix& a, VectorXd& b) const {
    const std::size_t k = cols.size();
    a.resize(Index(n * parts()), Index(k));
    b.resize(Index(n * parts()));
    rc_rows(basis.omegas.data() + first, weight.data() + first, n, tau.data(), k, real, imag,
            a.data());
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t p = first + i;
      const double w = weight[p];
      double* re_row = real ? a.row(Index(i * parts())).data() : nullptr;
      double* im_row = imag ? a.row(Index(i * parts() + (real ? 1 : 0))).data() : nullptr;
      for (std::size_t c = first_extra; c < k; ++c) {  // L and C
        const Complex v = basis.at(p, cols[c]);
        if (real) re_row[c] = v.real() * w;
        if (imag) im_row[c] = v.imag() * w;
      }
      std::size_t row = i * parts();
      if (real) b[Index(row++)] = rhs[p].real() * w;
      if (imag) b[Index(row)] = rhs[p].imag() * w;
    }
  }
};

VectorXd column_norms(const MatrixXd& a) {
  VectorXd norm = a.colwise().norm().transpose();
  for (Index k = 0; k < norm.size(); ++k) {
    if (norm[k] == 0.0) norm[k] = 1.0;
  }
  return norm;
}

// Minimum-norm least squares of the column-scaled matrix (the scaling
// keeps the ohm, henry and farad columns comparable) by a complete
// orthogonal decomposition: column-pivoted QR, the directions below
// eps * max(rows, cols) of the largest pivot treated as null, as an SVD
// with that cut-off treats its singular values. A tenth of the SVD's cost
// on the short spectra the verdict tests every fit's data with.
VectorXd orthogonal_solve(const Rows& rows) {
  RowMatrix block;
  VectorXd b;
  rows.block(0, rows.points(), block, b);
  MatrixXd a = block;
  const VectorXd norm = column_norms(a);
  a.array().rowwise() /= norm.transpose().array();
  Eigen::CompleteOrthogonalDecomposition<MatrixXd> cod;
  cod.setThreshold(kEps * double(std::max(a.rows(), a.cols())));
  cod.compute(a);
  VectorXd x = cod.solve(b);
  return (x.array() / norm.array()).matrix();
}

// The same by corrected semi-normal equations, never forming A whole: with
// D the column norms and R^T R = D^-1 A^T A D^-1 (Cholesky), y = D x solves
// R^T R y = D^-1 A^T b, and corrections R^T R dy = D^-1 A^T (b - A D^-1 y)
// refine it. Nothing where A is too ill-conditioned for them.
std::optional<VectorXd> normal_solve(const Rows& rows) {
  const Index k = Index(rows.cols.size());
  RowMatrix lower = RowMatrix::Zero(k, k);
  VectorXd g = VectorXd::Zero(k);  // A^T r, r = b to begin with
  RowMatrix a;
  VectorXd b;
  for (std::size_t first = 0; first < rows.points(); first += kBlockPoints) {
    rows.block(first, std::min(kBlockPoints, rows.points() - first), a, b);
    add_gram_lower(a.data(), std::size_t(a.rows()), std::size_t(k), lower.data());
    g.noalias() += a.transpose() * b;
  }
  const MatrixXd gram = lower.selfadjointView<Eigen::Lower>();
  VectorXd norm = gram.diagonal().cwiseSqrt();
  for (Index j = 0; j < k; ++j) {
    if (norm[j] == 0.0) norm[j] = 1.0;
  }
  const MatrixXd scaled = gram.array() / (norm * norm.transpose()).array();
  Eigen::LLT<MatrixXd> llt(scaled);
  if (llt.info() != Eigen::Success) return std::nullopt;
  const MatrixXd factor = llt.matrixL();
  const VectorXd sv = Eigen::JacobiSVD<MatrixXd>(factor).singularValues();
  if (sv[0] > kNormalEquationsMaxCond * sv[sv.size() - 1]) return std::nullopt;

  VectorXd x = VectorXd::Zero(k);
  for (int pass = 0; pass <= kCorrections; ++pass) {
    const VectorXd step =
        (llt.solve((g.array() / norm.array()).matrix()).array() / norm.array()).matrix();
    x += step;
    if (step.cwiseAbs().maxCoeff() <= 4.0 * kEps * x.cwiseAbs().maxCoeff()) break;
    if (pass == kCorrections) break;
    // The next correction's A^T (b - A x), block by block.
    g.setZero();
    for (std::size_t first = 0; first < rows.points(); first += kBlockPoints) {
      rows.block(first, std::min(kBlockPoints, rows.points() - first), a, b);
      b.noalias() -= a * x;
      g.noalias() += a.transpose() * b;
    }
  }
  return x;
}

VectorXd solve(const Rows& rows) {
  if (rows.count() > kTallRows) {
    if (auto x = normal_solve(rows)) return *x;
  }
  return orthogonal_solve(rows);
}

struct CountFit {
  std::vector<double> tau;
  std::vector<double> x;
  std::vector<Complex> fitted;
  double chi2 = 0.0;
  double mu = 0.0;
};

double mu_of(std::span<const double> resistances) {
  double positive = 0.0, negative = 0.0;
  for (double r : resistances) (r >= 0.0 ? positive : negative) += std::fabs(r);
  return positive > 0.0 ? 1.0 - negative / positive : -INFINITY;
}

struct Problem {
  std::span<const double> f;
  std::span<const Complex> z;
  std::vector<double> omegas;
  std::vector<double> weight;
  KkPart part;
  bool inductance;
  bool capacitance;

  CountFit fit(std::size_t m) const {
    CountFit out;
    out.tau = time_constants(f, m);
    const Basis basis{omegas, out.tau, inductance, capacitance};
    const std::size_t n_cols = basis.columns();
    std::vector<std::size_t> every(n_cols);
    for (std::size_t c = 0; c < n_cols; ++c) every[c] = c;
    out.x.assign(n_cols, 0.0);
    if (part == KkPart::Complex) {
      const VectorXd x = solve(Rows{basis, weight, z, true, true, every});
      for (std::size_t c = 0; c < n_cols; ++c) out.x[c] = x[Index(c)];
    } else {
      // Columns that vanish in the fitted part (R0 in the imaginary part, L
      // and C in the real part) are fitted afterwards to what the first
      // solve leaves in the other part.
      const bool real = part == KkPart::Real;
      std::vector<std::size_t> free, rest;
      for (std::size_t c = 0; c < n_cols; ++c) {
        bool any = false;
        for (std::size_t i = 0; i < omegas.size() && !any; ++i) {
          const Complex v = basis.at(i, c);
          any = (real ? v.real() : v.imag()) * weight[i] != 0.0;
        }
        (any ? free : rest).push_back(c);
      }
      if (!free.empty()) {
        const VectorXd x = solve(Rows{basis, weight, z, real, !real, free});
        for (std::size_t k = 0; k < free.size(); ++k) out.x[free[k]] = x[Index(k)];
      }
      if (!rest.empty()) {
        std::vector<Complex> left(omegas.size());
        for (std::size_t i = 0; i < omegas.size(); ++i) {
          Complex s{0.0, 0.0};
          for (std::size_t c : free) s += basis.at(i, c) * out.x[c];
          left[i] = z[i] - s;
        }
        const VectorXd x = solve(Rows{basis, weight, left, !real, real, rest});
        for (std::size_t k = 0; k < rest.size(); ++k) out.x[rest[k]] = x[Index(k)];
      }
    }
    // The model: R0 and the RC elements in one vectorised sweep, then L and C.
    const std::size_t n = omegas.size();
    std::vector<double> re(n, 0.0), im(n, 0.0);
    std::vector<double> taus(m + 1, 0.0);
    for (std::size_t k = 0; k < m; ++k) taus[k + 1] = out.tau[k];
    add_rc_model(omegas.data(), n, taus.data(), out.x.data(), m + 1, re.data(), im.data());
    out.fitted.resize(n);
    double chi2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      Complex s{re[i], im[i]};
      for (std::size_t c = m + 1; c < n_cols; ++c) s += basis.at(i, c) * out.x[c];
      out.fitted[i] = s;
      const double inv = 1.0 / std::hypot(z[i].real(), z[i].imag());
      const double dr = (z[i].real() - s.real()) * inv, di = (z[i].imag() - s.imag()) * inv;
      chi2 += dr * dr + di * di;
    }
    out.chi2 = chi2;
    out.mu = mu_of(std::span(out.x).subspan(1, m));
    return out;
  }
};

std::string count_text(std::size_t n) { return std::to_string(n); }

}  // namespace

bool capacitive_end(std::span<const double> frequencies_hz, std::span<const Complex> impedances) {
  if (frequencies_hz.size() < 3 || impedances.size() != frequencies_hz.size()) return false;
  std::vector<std::size_t> order(frequencies_hz.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return frequencies_hz[a] < frequencies_hz[b];
  });
  const double t0 = -impedances[order[0]].imag(), t1 = -impedances[order[1]].imag(),
               t2 = -impedances[order[2]].imag();
  return t0 > 0.0 && t0 > t1 && t1 > t2;
}

std::size_t min_rc_for(std::span<const double> frequencies_hz) {
  const auto [lo, hi] = std::minmax_element(frequencies_hz.begin(), frequencies_hz.end());
  const double decades = std::log10(*hi / *lo);
  return std::max<std::size_t>(3, std::size_t(std::ceil(kRcPerDecade * decades)));
}

std::vector<double> time_constants(std::span<const double> frequencies_hz, std::size_t m) {
  const auto [lo, hi] = std::minmax_element(frequencies_hz.begin(), frequencies_hz.end());
  const double start = 1.0 / (*hi * kTwoPiKk), stop = 1.0 / (*lo * kTwoPiKk);
  if (m == 1) return {stop};
  // As NumPy's geomspace: 10 ** linspace(log10(start), log10(stop)), the
  // ends exact.
  std::vector<double> tau(m);
  const double a = std::log10(start), b = std::log10(stop);
  const double step = (b - a) / double(m - 1);
  for (std::size_t k = 0; k < m; ++k) tau[k] = std::pow(10.0, double(k) * step + a);
  tau.front() = start;
  tau.back() = stop;
  return tau;
}

std::variant<LinKkResult, std::string> lin_kk(std::span<const double> f, std::span<const Complex> z,
                                              const LinKkOptions& options) {
  if (f.size() != z.size())
    return count_text(f.size()) + " frequencies but " + count_text(z.size()) + " impedances";
  if (f.size() < 3) return "the Lin-KK test needs at least 3 points, got " + count_text(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (!std::isfinite(f[i]) || !std::isfinite(z[i].real()) || !std::isfinite(z[i].imag()))
      return std::string("the spectrum holds non-finite values; drop them first (drop_flagged)");
  }
  for (double v : f) {
    if (v <= 0.0)
      return std::string("the spectrum holds zero or negative frequencies; drop them first");
  }
  for (const Complex& v : z) {
    if (std::hypot(v.real(), v.imag()) == 0.0)
      return std::string("the spectrum holds points with |Z| = 0");
  }
  if (!(options.mu_criterion > 0.0 && options.mu_criterion <= 1.0))
    return "mu_criterion must lie in (0, 1], got " + format_plain(options.mu_criterion);

  Problem p{f,
            z,
            {},
            {},
            options.part,
            options.add_inductance,
            options.add_capacitance.value_or(capacitive_end(f, z))};
  p.omegas.resize(f.size());
  p.weight.resize(f.size());
  for (std::size_t i = 0; i < f.size(); ++i) {
    p.omegas[i] = kTwoPiKk * f[i];
    p.weight[i] = options.modulus ? 1.0 / std::hypot(z[i].real(), z[i].imag()) : 1.0;
  }
  const std::size_t unknowns = 1 + std::size_t(p.inductance) + std::size_t(p.capacitance);
  const std::size_t rows = (options.part == KkPart::Complex ? 2 : 1) * f.size();
  const std::size_t limit = rows > unknowns ? rows - unknowns : 0;

  LinKkResult out;
  out.add_capacitance = p.capacitance;
  CountFit best;
  if (options.num_rc) {
    const std::size_t m = *options.num_rc;
    if (m < 1 || m > limit) {
      return "num_rc must lie in 1.." + count_text(limit) + " for " + count_text(f.size()) +
             " points, got " + count_text(m);
    }
    best = p.fit(m);
    out.mu_reached = best.mu < options.mu_criterion;
  } else {
    if (options.min_rc && (*options.min_rc < 1 || *options.min_rc > options.max_rc)) {
      return "min_rc must lie in 1..max_rc (" + count_text(options.max_rc) + "), got " +
             count_text(*options.min_rc);
    }
    const std::size_t top = std::max<std::size_t>(std::min(options.max_rc, limit), 1);
    const std::size_t low = std::min(options.min_rc.value_or(min_rc_for(f)), top);
    // The scan in batches of counts solved side by side on the pool; the
    // stopping rule then reads them in order, so the result is the serial
    // scan's whatever the pool's size.
    std::map<std::size_t, CountFit> fits;
    const std::size_t batch = std::max<std::size_t>(1, worker_pool_size());
    std::size_t below = 0;
    bool settled = false;
    for (std::size_t next = low; next <= top && !settled;) {
      const std::size_t n = std::min(batch, top - next + 1);
      std::vector<CountFit> done(n);
      parallel_for_each_index(n, [&](std::size_t k) { done[k] = p.fit(next + k); });
      for (std::size_t k = 0; k < n && !settled; ++k) {
        below = done[k].mu < options.mu_criterion ? below + 1 : 0;
        fits.emplace(next + k, std::move(done[k]));
        settled = below == kSettleCounts;
      }
      next += n;
    }
    const std::size_t last = fits.rbegin()->first;
    out.mu_reached = fits.at(last).mu < options.mu_criterion;
    std::size_t end = last;
    if (out.mu_reached) {
      std::optional<std::size_t> above;
      for (const auto& [m, one] : fits) {
        if (one.mu >= options.mu_criterion) above = m;
      }
      end = above ? *above + 1 : low;
    }
    // The lowest chi-square from low to end; the first of equals.
    std::size_t pick = low;
    for (std::size_t m = low; m <= end; ++m) {
      if (fits.at(m).chi2 < fits.at(pick).chi2) pick = m;
    }
    best = std::move(fits.at(pick));
  }
  out.time_constants = std::move(best.tau);
  out.values = std::move(best.x);
  out.fitted = std::move(best.fitted);
  out.pseudo_chi_square = best.chi2;
  out.mu = best.mu;
  return out;
}

}  // namespace kelvara
