#include "models/guess_params.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "circuit/parser.hpp"
#include "circuit/tree.hpp"
#include "circuit/tree_utils.hpp"
#include "models/guesser_cache.hpp"
#include "models/topology.hpp"
#include "support/text_format.hpp"

namespace kelvara {
namespace {

constexpr double kPi = 3.141592653589793;

std::string unparsable(const std::string& subject) {
  return NnError{NnError::Kind::Unparsable, subject}.message();
}

struct Selected {
  models::GuesserPtr guesser;
  models::Match match;
};

std::variant<Selected, std::string> select_builtin(const SeriesList& nodes) {
  auto found = models::find_for_topology(nodes);
  if (!found) return no_model_message();
  const auto& cell = models::model_guesser(*found->model);
  if (const auto* failure = std::get_if<std::string>(&cell)) return unparsable(*failure);
  return Selected{std::get<models::GuesserPtr>(cell), std::move(found->match)};
}

std::variant<Selected, std::string> select_file(const SeriesList& nodes, const std::string& path) {
  auto loaded = models::load_external(path);
  if (const auto* e = std::get_if<NnError>(&loaded)) return e->message();
  models::GuesserPtr g = std::get<models::GuesserPtr>(loaded);
  const ParseOutcome parsed = parse(g->circuit);
  if (parsed.error) return unparsable("circuit " + debug_quote(g->circuit) + " in " + path);
  auto match = models::match_or_expand(parsed.tree, nodes);
  if (!match)
    return unparsable(path + " was trained for " + debug_quote(g->circuit) +
                      ", which is a different circuit");
  // A file whose outputs do not cover its own circuit cannot be permuted.
  const std::size_t needed = param_count(parsed.tree);
  if (g->target_mean.size() != needed) {
    return unparsable(path + " predicts " + std::to_string(g->target_mean.size()) +
                      " parameters, but its circuit " + debug_quote(g->circuit) + " has " +
                      std::to_string(needed));
  }
  // Outputs are matched to the circuit by position; names that disagree
  // mean the file's outputs are in some other order.
  const std::vector<std::string> names = param_names(parsed.tree);
  if (g->param_names != names) {
    return unparsable(path + " names its parameters " + debug_quote_list(g->param_names) +
                      ", but its circuit " + debug_quote(g->circuit) + " has " +
                      debug_quote_list(names));
  }
  return Selected{std::move(g), std::move(*match)};
}

// Undo the K -> (R, C) and Zarc -> (R, CPE) expansion: c = tau_k / r and
// q = tau_k^gamma / r give tau_k = r c and tau_k = (r q)^(1 / gamma).
std::vector<double> collapse_expansion(const SeriesList& nodes, const std::vector<double>& r) {
  std::vector<double> out;
  std::size_t pos = 0;
  for (const Leaf* leaf : collect_leaves(nodes)) {
    switch (leaf->element.kind()) {
      case Kind::K:
        out.push_back(r[pos]);
        out.push_back(r[pos] * r[pos + 1]);
        pos += 2;
        break;
      case Kind::Zarc: {
        const double alpha = r[pos + 2];
        out.push_back(r[pos]);
        out.push_back(std::pow(r[pos] * r[pos + 1], 1.0 / std::fmax(alpha, 1e-6)));
        out.push_back(alpha);
        pos += 3;
        break;
      }
      default:
        for (int k = 0; k < leaf->element.count(); ++k) out.push_back(r[pos++]);
    }
  }
  return out;
}

std::string format_complex(std::complex<double> z) {
  const double im = z.imag();
  return format_debug(z.real()) + (std::signbit(im) ? "-" : "+") + format_debug(std::fabs(im)) +
         "j";
}

// The network reads log f and log |Z| at every point: one point whose
// frequency is not a positive finite number, or whose impedance is zero or
// not finite, turns every output into NaN.
std::optional<NnError> unusable_point(std::span<const double> f,
                                      std::span<const std::complex<double>> z) {
  for (std::size_t k = 0; k < f.size(); ++k) {
    std::string why;
    if (!(f[k] > 0.0) || !std::isfinite(f[k])) {
      why = "its frequency " + format_debug(f[k]) + " Hz is not a positive finite number";
    } else if (!std::isfinite(2.0 * kPi * f[k])) {
      why = "its frequency " + format_debug(f[k]) + " Hz is too large (2 pi f overflows)";
    } else if (!std::isfinite(z[k].real()) || !std::isfinite(z[k].imag())) {
      why = "its impedance " + format_complex(z[k]) + " ohm is not finite";
    } else if (!std::isfinite(std::abs(z[k]))) {
      why = "its impedance " + format_complex(z[k]) + " ohm is too large (|Z| overflows)";
    } else if (z[k] == std::complex<double>{}) {
      why = "its impedance is 0 ohm";
    } else {
      continue;
    }
    return NnError{NnError::Kind::UnusablePoint, std::move(why), k};
  }
  return std::nullopt;
}

}  // namespace

std::string no_model_message() {
  return "No training data on this circuit. Machine-learning based initial parameters available "
         "for " +
         models::quoted_names();
}

std::variant<std::vector<double>, std::string> guess_params(
    const SeriesList& nodes, std::span<const double> f, std::span<const std::complex<double>> z,
    const std::optional<std::string>& weights_path) {
  auto selected = weights_path ? select_file(nodes, *weights_path) : select_builtin(nodes);
  if (auto* message = std::get_if<std::string>(&selected)) return *message;
  const Selected& s = std::get<Selected>(selected);

  const std::size_t points = std::min(f.size(), z.size());
  if (points < 2) return NnError{NnError::Kind::TooFewPoints, {}, points}.message();
  if (auto bad = unusable_point(f.first(points), z.first(points))) return bad->message();

  auto predicted = s.guesser->predict(f, z);
  if (auto* e = std::get_if<NnError>(&predicted)) return e->message();
  const auto& v = std::get<std::vector<double>>(predicted);

  std::vector<double> r(s.match.perm.size());
  for (std::size_t k = 0; k < r.size(); ++k) {
    if (s.match.perm[k] >= v.size()) {
      return NnError{NnError::Kind::ShapeMismatch, "head.4", v.size(), s.match.perm.size()}
          .message();
    }
    r[k] = v[s.match.perm[k]];
  }
  std::vector<double> out = s.match.expanded ? collapse_expansion(nodes, r) : r;
  // Points at the edge of the double range can still overflow inside the
  // network; a non-finite start is never returned as a guess.
  const std::vector<std::string> names = param_names(nodes);
  for (std::size_t k = 0; k < std::min(out.size(), names.size()); ++k) {
    if (std::isfinite(out[k])) continue;
    return "the network's guess for " + names[k] + " is not finite (" + format_debug(out[k]) +
           "); the weight file may be damaged, or the spectrum lies outside what the network "
           "reads";
  }
  return out;
}

}  // namespace kelvara
