#include "fit/search_starts.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "circuit/tree.hpp"
#include "elements/custom_element.hpp"
#include "fit/residuals.hpp"
#include "support/invariant.hpp"

namespace kelvara {
namespace {

// What a field measures, for choosing its scale.
enum class Scale {
  Resistance,
  Time,
  Capacitance,
  Coefficient,
  Inductance,
  PowerInductance,
  Warburg,
  Ratio,
  Bounded
};

// A custom element's field measures what its unit says; without a known
// unit, an open box is a positive ratio drawn over decades, a finite one an
// exponent-like number drawn inside it (and started at 0.85 where the box
// allows, as the built-in exponents are).
Scale custom_scale(const Element& element, int field) {
  const CustomParameter& p = element.custom_definition()->parameters()[std::size_t(field)];
  const std::string_view unit = p.unit;
  if (unit == "ohm" || unit == "Ohm" || unit == "\u03a9") return Scale::Resistance;
  if (unit == "s") return Scale::Time;
  if (unit == "F") return Scale::Capacitance;
  if (unit == "H") return Scale::Inductance;
  // A CPE-like coefficient (ohm^-1*s^alpha, S*s^n, F*s^(a-1)) and a Warburg coefficient.
  for (std::string_view prefix : {"ohm^-1*s^", "S*s^", "F*s^"})
    if (p.log_scale && unit.substr(0, prefix.size()) == prefix) return Scale::Coefficient;
  if (p.log_scale && (unit == "ohm*s^-0.5" || unit == "ohm/s^0.5")) return Scale::Warburg;
  return p.log_scale ? Scale::Ratio : Scale::Bounded;
}

Scale scale_of(const Element& element, int field) {
  const Kind kind = element.kind();
  switch (kind) {
    case Kind::Custom:
      return custom_scale(element, field);
    case Kind::R:
      return Scale::Resistance;
    case Kind::C:
      return Scale::Capacitance;
    case Kind::L:
      return Scale::Inductance;
    case Kind::La:
      return field == 0 ? Scale::PowerInductance : Scale::Bounded;
    case Kind::Cpe:
      return field == 0 ? Scale::Coefficient : Scale::Bounded;
    case Kind::W:
      return Scale::Warburg;
    case Kind::Wo:
    case Kind::Ws:
    case Kind::G:
    case Kind::K:
      return field == 0 ? Scale::Resistance : Scale::Time;
    case Kind::Gs:
      return field == 0 ? Scale::Resistance : (field == 1 ? Scale::Time : Scale::Ratio);
    case Kind::Zarc:
      return field == 0 ? Scale::Resistance : (field == 1 ? Scale::Time : Scale::Bounded);
    case Kind::Tlmq:
      return field == 0 ? Scale::Resistance : (field == 1 ? Scale::Coefficient : Scale::Bounded);
    case Kind::T:
      return field <= 1 ? Scale::Resistance : (field == 2 ? Scale::Ratio : Scale::Time);
  }
  return Scale::Ratio;
}

struct LeafInfo {
  Kind kind;
  std::size_t first;  // index of its first parameter
  bool top_level;     // a series item of the whole circuit, not inside a parallel group
  const Element* element;
};

// Kinds that put a time constant into the spectrum (an arc or a diffusion
// front), and so take one in a structured start; a custom element does
// where one of its fields is a time or a capacitance.
bool has_time_constant(const LeafInfo& leaf) {
  if (leaf.kind == Kind::Custom) {
    for (int f = 0; f < leaf.element->count(); ++f) {
      const Scale s = custom_scale(*leaf.element, f);
      if (s == Scale::Time || s == Scale::Capacitance || s == Scale::Coefficient) return true;
    }
    return false;
  }
  const Kind kind = leaf.kind;
  return kind != Kind::R && kind != Kind::L && kind != Kind::La && kind != Kind::W;
}

void collect(const SeriesList& nodes, bool top, std::size_t& index, std::vector<LeafInfo>& out) {
  for (const Node& node : nodes) {
    if (const auto* leaf = std::get_if<Leaf>(&node.value)) {
      out.push_back({leaf->element.kind(), index, top, &leaf->element});
      index += std::size_t(leaf->element.count());
    } else {
      for (const SeriesList& branch : std::get<ParallelNode>(node.value).branches)
        collect(branch, false, index, out);
    }
  }
}

std::vector<LeafInfo> leaves_of(const SeriesList& nodes) {
  std::vector<LeafInfo> out;
  std::size_t index = 0;
  collect(nodes, true, index, out);
  return out;
}

// log10 of the smallest and largest of f(z, w, a) over the corners.
template <class F>
DrawRange corner_range(F f, std::initializer_list<double> zs, std::initializer_list<double> ws,
                       std::initializer_list<double> as) {
  double lo = INFINITY, hi = -INFINITY;
  for (double z : zs)
    for (double w : ws)
      for (double a : as) {
        const double v = std::log10(f(z, w, a));
        lo = std::fmin(lo, v), hi = std::fmax(hi, v);
      }
  return {lo, hi, true};
}

DrawRange natural_range(Scale scale, const SpectrumScales& s) {
  const double z_lo = s.z_min / 10.0, z_hi = s.z_max * 10.0;
  const double w_lo = s.omega_min / 3.0, w_hi = s.omega_max * 3.0;
  switch (scale) {
    case Scale::Resistance:
      return {std::log10(z_lo), std::log10(z_hi), true};
    case Scale::Time:
      return {std::log10(1.0 / w_hi), std::log10(1.0 / w_lo), true};
    case Scale::Capacitance:
      return corner_range([](double z, double w, double) { return 1.0 / (z * w); }, {z_lo, z_hi},
                          {w_lo, w_hi}, {1});
    case Scale::Coefficient:
      return corner_range([](double z, double w, double a) { return 1.0 / (z * std::pow(w, a)); },
                          {z_lo, z_hi}, {w_lo, w_hi}, {0.5, 1.0});
    case Scale::Inductance:
      return {std::log10(z_lo / 100.0 / w_hi), std::log10(z_hi / w_hi), true};
    case Scale::PowerInductance:
      return corner_range([](double z, double w, double a) { return std::pow(z, 1.0 / a) / w; },
                          {z_lo / 100.0, z_hi}, {w_hi}, {0.5, 1.0});
    case Scale::Warburg:
      return corner_range([](double z, double w, double) { return z * std::sqrt(w); }, {z_lo, z_hi},
                          {w_lo, w_hi}, {1});
    case Scale::Ratio:
      return {-2.0, 2.0, true};
    case Scale::Bounded:
      break;
  }
  return {0.0, 1.0, false};
}

// The natural range cut to the box; the box's own range where they do not meet.
DrawRange fit_to_box(DrawRange r, const Bounds& b) {
  const bool open = !std::isfinite(b.hi);
  const bool wide = b.lo > 0.0 && b.hi / b.lo > 100.0;
  if (r.logarithmic && (open || wide)) {
    // Strictly above an open box's lower bound: the solver takes log10(p - lo).
    const double box_lo = b.lo > 0.0 ? std::log10(b.lo) + (open ? 1e-9 : 0.0) : -300.0;
    const double box_hi = open ? 300.0 : std::log10(b.hi);
    const double lo = std::fmax(r.lo, box_lo), hi = std::fmin(r.hi, box_hi);
    if (lo <= hi) return {lo, hi, true};
    return open ? DrawRange{box_lo, box_lo + 2.0, true} : DrawRange{box_lo, box_hi, true};
  }
  if (!std::isfinite(b.hi)) return {b.lo, b.lo + 1.0, false};
  // Exponents below about 0.4 are rare in measured spectra: draw from the
  // upper part of the box.
  const double lo = r.logarithmic ? b.lo : b.lo + 0.4 * (b.hi - b.lo);
  return {lo, b.hi, false};
}

double value_in(const DrawRange& r, double u) {
  const double x = r.lo + (r.hi - r.lo) * u;
  return r.logarithmic ? std::pow(10.0, x) : x;
}

double radical_inverse(std::uint64_t i, std::uint64_t base) {
  double result = 0.0, f = 1.0 / double(base);
  while (i > 0) {
    result += f * double(i % base);
    i /= base;
    f /= double(base);
  }
  return result;
}

constexpr std::uint64_t kPrimes[] = {2,  3,  5,  7,   11,  13,  17,  19,  23,  29, 31,
                                     37, 41, 43, 47,  53,  59,  61,  67,  71,  73, 79,
                                     83, 89, 97, 101, 103, 107, 109, 113, 127, 131};

// A deterministic offset in [0, 1) per dimension from the seed (SplitMix64).
double seed_offset(std::uint64_t seed, std::size_t dimension) {
  std::uint64_t z = seed + 0x9e3779b97f4a7c15ULL * (dimension + 1);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  z ^= z >> 31;
  return double(z >> 11) * 0x1.0p-53;
}

double clamp_into(double v, const Bounds& b) {
  if (!std::isfinite(b.hi)) return std::fmax(v, b.lo > 0.0 ? b.lo * (1.0 + 1e-9) : b.lo + 1e-300);
  return std::fmin(std::fmax(v, b.lo), b.hi);
}

}  // namespace

std::vector<ItemSpan> series_item_spans(const SeriesList& nodes) {
  std::vector<ItemSpan> out;
  std::size_t first = 0;
  for (const Node& node : nodes) {
    const std::size_t n = param_count(SeriesList{node});
    out.push_back({first, n});
    first += n;
  }
  return out;
}

SpectrumScales spectrum_scales(std::span<const double> omegas,
                               std::span<const Complex> impedances) {
  SpectrumScales s;
  struct Point {
    double omega;
    Complex z;
  };
  std::vector<Point> points;
  for (std::size_t k = 0; k < std::min(omegas.size(), impedances.size()); ++k) {
    const Complex z = impedances[k];
    const double omega = omegas[k];
    if (std::isfinite(omega) && omega > 0.0 && std::isfinite(z.real()) && std::isfinite(z.imag()) &&
        std::abs(z) > 0.0) {
      points.push_back({omega, z});
    }
  }
  if (points.empty()) return s;
  std::sort(points.begin(), points.end(),
            [](const Point& a, const Point& b) { return a.omega < b.omega; });
  s.z_min = INFINITY, s.z_max = 0.0;
  for (const Point& p : points) {
    s.z_min = std::fmin(s.z_min, std::abs(p.z));
    s.z_max = std::fmax(s.z_max, std::abs(p.z));
  }
  s.omega_min = points.front().omega;
  s.omega_max = points.back().omega;
  s.r_high = std::fmax(points.back().z.real(), 0.0);
  s.r_polarisation = std::fmax(points.front().z.real() - s.r_high, s.z_min / 10.0);
  if (points.back().z.imag() > 0.0) s.inductance = points.back().z.imag() / points.back().omega;

  // Peaks of -Im Z (local maxima over at least one neighbour each side),
  // the largest first.
  std::vector<std::pair<double, double>> peaks;  // (height, tau)
  for (std::size_t k = 1; k + 1 < points.size(); ++k) {
    const double h = -points[k].z.imag();
    if (h > 0.0 && h >= -points[k - 1].z.imag() && h > -points[k + 1].z.imag()) {
      peaks.emplace_back(h, 1.0 / points[k].omega);
    }
  }
  // A low-frequency end still rising (a diffusion tail or a blocking
  // electrode) is a feature too, at the window's edge.
  if (points.size() >= 2 && -points[0].z.imag() > -points[1].z.imag() &&
      -points[0].z.imag() > 0.0) {
    peaks.emplace_back(-points[0].z.imag(), 1.0 / points[0].omega);
  }
  std::stable_sort(peaks.begin(), peaks.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  for (std::size_t i = 0; i < std::min<std::size_t>(peaks.size(), 4); ++i)
    s.feature_taus.push_back(peaks[i].second);
  return s;
}

std::vector<DrawRange> draw_ranges(const SeriesList& nodes, const SpectrumScales& scales,
                                   std::span<const Bounds> box) {
  std::vector<DrawRange> out;
  for (const LeafInfo& leaf : leaves_of(nodes)) {
    for (int f = 0; f < leaf.element->count(); ++f) {
      const std::size_t i = leaf.first + std::size_t(f);
      out.push_back(fit_to_box(natural_range(scale_of(*leaf.element, f), scales), box[i]));
    }
  }
  return out;
}

std::vector<std::vector<double>> quasi_random_starts(std::span<const DrawRange> ranges,
                                                     std::span<const double> base,
                                                     std::span<const bool> held, std::size_t count,
                                                     std::uint64_t seed, InterruptPoll* interrupt) {
  std::vector<std::vector<double>> out;
  constexpr std::size_t kDimensions = sizeof(kPrimes) / sizeof(kPrimes[0]);
  for (std::size_t i = 0; i < count; ++i) {
    if (interrupt) interrupt->poll();
    std::vector<double> p(base.begin(), base.end());
    for (std::size_t d = 0; d < ranges.size(); ++d) {
      if (held[d]) continue;
      // Beyond the table's dimensions, a plain seeded draw per point.
      const double halton =
          d < kDimensions ? radical_inverse(i + 1, kPrimes[d]) : seed_offset(seed + i, d);
      double u = halton + seed_offset(seed, d);
      u -= std::floor(u);
      p[d] = value_in(ranges[d], u);
    }
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<std::vector<double>> perturbed_starts(std::span<const double> centre,
                                                  std::span<const DrawRange> ranges,
                                                  std::span<const Bounds> box,
                                                  std::span<const bool> held, std::size_t count,
                                                  std::uint64_t seed, InterruptPoll* interrupt) {
  std::vector<std::vector<double>> out;
  for (std::size_t k = 0; k < count; ++k) {
    if (interrupt) interrupt->poll();
    std::vector<double> p(centre.begin(), centre.end());
    for (std::size_t i = 0; i < p.size(); ++i) {
      if (held[i]) continue;
      const double u = 2.0 * seed_offset(seed + 7919 * (k + 1), i) - 1.0;  // in [-1, 1)
      if (ranges[i].logarithmic) {
        p[i] = clamp_into(p[i] * std::pow(10.0, 0.5 * u), box[i]);
      } else {
        p[i] = clamp_into(p[i] + 0.1 * u * (box[i].hi - box[i].lo), box[i]);
      }
    }
    out.push_back(std::move(p));
  }
  return out;
}

std::vector<std::vector<double>> structured_starts(const SeriesList& nodes,
                                                   const SpectrumScales& scales,
                                                   std::span<const Bounds> box,
                                                   std::span<const double> base,
                                                   std::span<const bool> held, std::size_t limit) {
  const std::vector<LeafInfo> leaves = leaves_of(nodes);
  std::size_t arcs = 0, resistors = 0;
  bool series_resistor_taken = false;
  for (const LeafInfo& leaf : leaves) {
    arcs += has_time_constant(leaf) ? 1 : 0;
    resistors += leaf.kind == Kind::R ? 1 : 0;
  }
  // The window's own spread of time constants, for arcs without a feature.
  const double tau_short = 1.0 / scales.omega_max, tau_long = 1.0 / scales.omega_min;
  std::vector<double> spread;
  for (std::size_t i = 0; i < std::max<std::size_t>(arcs, 1); ++i) {
    const double t = (double(i) + 0.5) / double(std::max<std::size_t>(arcs, 1));
    spread.push_back(tau_short * std::pow(tau_long / tau_short, t));
  }
  // Assignments of time constants to arcs: the features (then the spread)
  // in every order, for up to four arcs; the spread alone in both orders.
  std::vector<double> pool = scales.feature_taus;
  for (double t : spread) {
    if (pool.size() >= arcs) break;
    pool.push_back(t);
  }
  pool.resize(std::min(pool.size(), arcs));
  std::vector<std::vector<double>> assignments;
  if (!pool.empty()) {
    std::vector<std::size_t> order(pool.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    do {
      std::vector<double> a;
      for (std::size_t k : order) a.push_back(pool[k]);
      assignments.push_back(std::move(a));
    } while (arcs <= 4 && assignments.size() < limit &&
             std::next_permutation(order.begin(), order.end()));
  }
  assignments.push_back(spread);
  assignments.emplace_back(spread.rbegin(), spread.rend());

  // Resistance of each arc: the polarisation shared out, the intercept to
  // the first resistor in series with the whole circuit.
  const std::size_t shares = std::max<std::size_t>(arcs + (resistors > 0 ? resistors - 1 : 0), 1);
  const double r_arc = scales.r_polarisation / double(std::max<std::size_t>(arcs, 1));
  const double r_share = scales.r_polarisation / double(shares);
  const double r_series = std::fmax(scales.r_high, scales.z_min / 100.0);
  const double inductance =
      scales.inductance > 0.0 ? scales.inductance : scales.z_min / 100.0 / scales.omega_max;

  std::vector<std::vector<double>> out;
  for (const std::vector<double>& taus : assignments) {
    if (out.size() >= limit) break;
    std::vector<double> p(base.begin(), base.end());
    std::size_t arc = 0;
    series_resistor_taken = false;
    auto set = [&](std::size_t i, double v) {
      if (!held[i]) p[i] = clamp_into(v, box[i]);
    };
    auto exponent = [&](std::size_t i) {
      set(i, 0.85);
      return p[i];
    };
    for (const LeafInfo& leaf : leaves) {
      const std::size_t i = leaf.first;
      const double tau = has_time_constant(leaf) && arc < taus.size() ? taus[arc] : spread.front();
      switch (leaf.kind) {
        case Kind::R:
          if (leaf.top_level && !series_resistor_taken) {
            set(i, r_series);
            series_resistor_taken = true;
          } else {
            set(i, r_share);
          }
          break;
        case Kind::C:
          set(i, tau / r_arc);
          break;
        case Kind::L:
          set(i, inductance);
          break;
        case Kind::La:
          set(i, std::pow(inductance * scales.omega_max, 1.0 / exponent(i + 1)) / scales.omega_max);
          break;
        case Kind::Cpe:
          set(i, std::pow(tau, exponent(i + 1)) / r_arc);
          break;
        case Kind::W:
          set(i, r_arc * std::sqrt(scales.omega_min));
          break;
        case Kind::Wo:
        case Kind::Ws:
        case Kind::G:
        case Kind::K:
          set(i, r_arc), set(i + 1, tau);
          break;
        case Kind::Gs:
          set(i, r_arc), set(i + 1, tau), set(i + 2, 1.0);
          break;
        case Kind::Zarc:
          set(i, r_arc), set(i + 1, tau), exponent(i + 2);
          break;
        case Kind::Tlmq:
          set(i, r_arc), set(i + 1, std::pow(tau, exponent(i + 2)) / r_arc);
          break;
        case Kind::T:
          set(i, r_arc), set(i + 1, r_arc), set(i + 2, 1.0), set(i + 3, tau);
          break;
        case Kind::Custom:  // by unit; other fields keep their base values
          for (int f = 0; f < leaf.element->count(); ++f) {
            switch (custom_scale(*leaf.element, f)) {
              case Scale::Resistance:
                set(i + std::size_t(f), r_arc);
                break;
              case Scale::Time:
                set(i + std::size_t(f), tau);
                break;
              case Scale::Capacitance:
                set(i + std::size_t(f), tau / r_arc);
                break;
              case Scale::Inductance:
                set(i + std::size_t(f), inductance);
                break;
              case Scale::Coefficient:  // as a CPE's, with the exponent a structured start takes
                set(i + std::size_t(f), std::pow(tau, 0.85) / r_arc);
                break;
              case Scale::Warburg:
                set(i + std::size_t(f), r_arc * std::sqrt(scales.omega_min));
                break;
              case Scale::Bounded:  // an exponent-like number, where its box allows
                set(i + std::size_t(f), 0.85);
                break;
              default:
                break;
            }
          }
          break;
      }
      arc += has_time_constant(leaf) ? 1 : 0;
    }
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace kelvara
