// Circuit.fit(): the front door to every fitting method.

#include <array>
#include <cmath>

#include "circuit/tree.hpp"
#include "fit/driver.hpp"
#include "fit/residuals.hpp"
#include "models/registry.hpp"
#include "models/topology.hpp"
#include "python/bind_circuit.hpp"
#include "python/bind_fit_result.hpp"
#include "python/circuit_methods.hpp"
#include "python/spectrum_input.hpp"
#include "support/text_format.hpp"

namespace kelvara::py {

const char* const kFitDoc =
    "fit($self, frequencies, impedances=None, guess_init=None, weights=None, weight=\"modulus\", "
    "method=\"levenberg_marquardt\", max_iterations=200, ftol=1e-8, xtol=1e-8, num_particles=200, "
    "generations=1000, nelder_mead_iterations=2000, de_evaluations=20000, sa_iterations=5000, "
    "sa_initial_temperature=2.0, basin_hopping_hops=20, basin_hopping_step_size=1.0, "
    "basin_hopping_temperature=1.0, seed=None)\n--\n\n"
    "Fit this circuit's parameters to a measured spectrum.\n\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses.";

namespace {

enum Arg {
  kFrequencies, kImpedances, kGuessInit, kWeights, kWeight, kMethod, kMaxIterations, kFtol, kXtol, kNumParticles,
  kGenerations, kNelderMeadIterations, kDeEvaluations, kSaIterations, kSaInitialTemperature, kBasinHoppingHops,
  kBasinHoppingStepSize, kBasinHoppingTemperature, kSeed, kArgCount
};

constexpr std::array<const char*, kArgCount> kNames = {
    "frequencies", "impedances", "guess_init", "weights", "weight", "method", "max_iterations", "ftol", "xtol",
    "num_particles", "generations", "nelder_mead_iterations", "de_evaluations", "sa_iterations",
    "sa_initial_temperature", "basin_hopping_hops", "basin_hopping_step_size", "basin_hopping_temperature", "seed"};

struct FitCall {
  std::optional<bool> guess_init;
  std::optional<std::string> weights;
  std::string weight = "modulus";
  FitOptions options;
};

// Each argument converted in order; a missing one keeps its default.
FitCall convert(const std::array<PyObject*, kArgCount>& a) {
  FitCall c;
  FitOptions& o = c.options;
  auto given = [&](Arg i) { return a[i] != nullptr; };
  auto u32 = [&](Arg i, std::uint32_t& out) {
    if (given(i)) out = argument(kNames[i], [&] { return to_u32(a[i]); });
  };
  auto u64 = [&](Arg i, std::uint64_t& out) {
    if (given(i)) out = argument(kNames[i], [&] { return to_u64(a[i]); });
  };
  auto f64 = [&](Arg i, double& out) {
    if (given(i)) out = argument(kNames[i], [&] { return to_double(a[i]); });
  };
  auto text = [&](Arg i, std::string& out) {
    if (given(i)) out = argument(kNames[i], [&] { return to_string(a[i]); });
  };
  if (given(kGuessInit) && a[kGuessInit] != Py_None) {
    c.guess_init = argument(kNames[kGuessInit], [&] { return to_bool(a[kGuessInit]); });
  }
  c.weights = optional_path(kNames[kWeights], a[kWeights]);
  text(kWeight, c.weight);
  text(kMethod, o.method);
  u32(kMaxIterations, o.max_iterations);
  f64(kFtol, o.ftol);
  f64(kXtol, o.xtol);
  u64(kNumParticles, o.num_particles);
  u64(kGenerations, o.generations);
  u64(kNelderMeadIterations, o.nelder_mead_iterations);
  u64(kDeEvaluations, o.de_evaluations);
  u64(kSaIterations, o.sa_iterations);
  f64(kSaInitialTemperature, o.sa_initial_temperature);
  u32(kBasinHoppingHops, o.basin_hopping_hops);
  f64(kBasinHoppingStepSize, o.basin_hopping_step_size);
  f64(kBasinHoppingTemperature, o.basin_hopping_temperature);
  if (given(kSeed) && a[kSeed] != Py_None) o.seed = argument(kNames[kSeed], [&] { return to_u64(a[kSeed]); });
  return c;
}

bool all_finite(std::span<const double> frequencies, std::span<const Complex> impedances) {
  for (const double f : frequencies)
    if (!std::isfinite(f)) return false;
  for (const Complex& z : impedances)
    if (!std::isfinite(z.real()) || !std::isfinite(z.imag())) return false;
  return true;
}

// Non-finite points or a damaged weight file can yield NaN or inf; fitting
// from there would end anywhere and might still report success.
void raise_unless_finite_guess(const SeriesList& tree, const std::vector<double>& guessed, bool finite_spectrum) {
  const std::vector<std::string> names = param_names(tree);
  const char* cause = finite_spectrum ? "the weight file may be damaged" : "the spectrum holds non-finite values";
  for (std::size_t i = 0; i < std::min(names.size(), guessed.size()); ++i) {
    if (std::isfinite(guessed[i])) continue;
    raise(PyExc_ValueError, "the network's guess for " + names[i] + " is not finite (" + format_debug(guessed[i]) +
                                "); " + cause + ", or pass guess_init=False with your own values");
  }
}

NamedValues named(const std::vector<std::string>& names, const std::vector<double>& values) {
  NamedValues out;
  for (std::size_t i = 0; i < std::min(names.size(), values.size()); ++i) out.emplace_back(names[i], values[i]);
  return out;
}

}  // namespace

PyObject* circuit_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, kArgCount> a{};
    parse_fastcall({"Circuit.fit", kNames, 1}, args, nargs, kwnames, a);
    FitCall call = convert(a);
    const MeasuredSpectrum spectrum = read_spectrum(a[kFrequencies], a[kImpedances]);
    const auto modulus = parse_weighting(call.weight);
    if (!modulus) raise(PyExc_ValueError, unknown_weighting_message(call.weight));
    call.options.modulus = *modulus;

    const CircuitValue& circuit = circuit_value(self);
    const bool guess = call.guess_init.value_or(call.weights.has_value() || !circuit.explicit_values);
    SeriesList start = circuit.tree;
    if (guess) {
      const bool unset = !call.guess_init && !call.weights;
      if (unset && !models::find_for_topology(circuit.tree)) {
        const std::string message =
            "There is no ML model to guess initial parameters for this circuit. Supply your own with "
            "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False to silence "
            "this. Models available for " +
            models::quoted_names();
        if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw ErrorAlreadySet{};
      } else {
        const std::vector<double> guessed =
            guess_or_raise(circuit.tree, spectrum.frequencies, spectrum.impedances, call.weights);
        raise_unless_finite_guess(circuit.tree, guessed, all_finite(spectrum.frequencies, spectrum.impedances));
        start = rebuild(circuit.tree, guessed);
      }
    }

    FitResultOr<FitOutcome> result = FitError{FitError::Kind::Solver, {}};
    bool interrupted = false;
    {
      AllowThreadsHeedingSignals unlocked;
      try {
        result = run_fit(start, spectrum.frequencies, spectrum.impedances, call.options, unlocked.hook());
      } catch (const FitInterrupted&) {
        interrupted = true;  // the signal handler's exception is set
      }
    }
    if (interrupted) throw ErrorAlreadySet{};
    if (auto* error = std::get_if<FitError>(&result)) raise(PyExc_ValueError, error->message());
    FitOutcome& out = std::get<FitOutcome>(result);
    FitResultValue value;
    value.params = named(out.param_names, out.params);
    if (out.stderr_values) value.stderr_values = named(out.param_names, *out.stderr_values);
    value.circuit = {std::move(out.circuit), true};
    value.iterations = out.iterations;
    value.impedance_evals = out.impedance_evals;
    value.cost = out.cost;
    value.chi_square = out.chi_square;
    value.success = out.success;
    return wrap_fit_result(std::move(value)).release();
  });
}

}  // namespace kelvara::py
