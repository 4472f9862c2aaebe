// Circuit.fit(): the front door to every fitting method.

#include <array>
#include <cmath>

#include "circuit/tree.hpp"
#include "fit/driver.hpp"
#include "fit/fit_option_table.hpp"
#include "fit/residuals.hpp"
#include "models/registry.hpp"
#include "models/topology.hpp"
#include "python/bind_circuit.hpp"
#include "python/bind_fit_result.hpp"
#include "python/circuit_methods.hpp"
#include "python/spectrum_input.hpp"
#include "support/text_format.hpp"

namespace kelvara::py {

namespace {

const char* const kFitDocBody =
    "Fit this circuit's parameters to a measured spectrum.\n\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses.";

}  // namespace

const char* fit_doc() {
  // Built once from the option table: the signature lists every option with
  // the default the table gives it.
  static const std::string doc = [] {
    std::string text = "fit($self, frequencies, impedances=None, guess_init=None, weights=None";
    for (const FitOptionSpec& option : kFitOptionTable) {
      text += ", " + std::string(option.name) + "=" + std::string(option.default_text);
    }
    return text + ")\n--\n\n" + kFitDocBody;
  }();
  return doc.c_str();
}

namespace {

enum Arg {
  kFrequencies,
  kImpedances,
  kGuessInit,
  kWeights,
  kWeight,
  kMethod,
  kMaxIterations,
  kFtol,
  kXtol,
  kNumParticles,
  kGenerations,
  kNelderMeadIterations,
  kDeEvaluations,
  kSaIterations,
  kSaInitialTemperature,
  kBasinHoppingHops,
  kBasinHoppingStepSize,
  kBasinHoppingTemperature,
  kSeed,
  kArgCount
};

// The data and guess arguments, then the option table in its order.
constexpr std::array<const char*, kArgCount> kNames = [] {
  std::array<const char*, kArgCount> names = {"frequencies", "impedances", "guess_init", "weights"};
  for (std::size_t i = 0; i < kFitOptionTable.size(); ++i)
    names[kWeight + i] = kFitOptionTable[i].name.data();
  return names;
}();
static_assert(kWeight + kFitOptionTable.size() == kArgCount, "one keyword per option of the table");
static_assert(kFitOptionTable[kMaxIterations - kWeight].name == "max_iterations" &&
                  kFitOptionTable[kSeed - kWeight].name == "seed" &&
                  kFitOptionTable[kBasinHoppingTemperature - kWeight].name ==
                      "basin_hopping_temperature",
              "the argument indices follow the option table");

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
  if (given(kSeed) && a[kSeed] != Py_None)
    o.seed = argument(kNames[kSeed], [&] { return to_u64(a[kSeed]); });
  return c;
}

// The guess refuses spectra with a point it cannot read, so a NaN or inf
// here comes from the network itself: fitting from there would end
// anywhere and might still report success.
void raise_unless_finite_guess(const SeriesList& tree, const std::vector<double>& guessed) {
  const std::vector<std::string> names = param_names(tree);
  for (std::size_t i = 0; i < std::min(names.size(), guessed.size()); ++i) {
    if (std::isfinite(guessed[i])) continue;
    raise(PyExc_ValueError,
          "the network's guess for " + names[i] + " is not finite (" + format_debug(guessed[i]) +
              "); the weight file may be damaged, or pass guess_init=False with your own values");
  }
}

NamedValues named(const std::vector<std::string>& names, const std::vector<double>& values) {
  NamedValues out;
  for (std::size_t i = 0; i < std::min(names.size(), values.size()); ++i)
    out.emplace_back(names[i], values[i]);
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
    const bool guess =
        call.guess_init.value_or(call.weights.has_value() || !circuit.explicit_values);
    SeriesList start = circuit.tree;
    if (guess) {
      const bool unset = !call.guess_init && !call.weights;
      if (unset && !models::find_for_topology(circuit.tree)) {
        const std::string message =
            "There is no ML model to guess initial parameters for this circuit. Supply your own "
            "with "
            "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass "
            "guess_init=False to silence "
            "this. Models available for " +
            models::quoted_names();
        if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) < 0) throw ErrorAlreadySet{};
      } else {
        const std::vector<double> guessed =
            guess_or_raise(circuit.tree, spectrum.frequencies, spectrum.impedances, call.weights);
        raise_unless_finite_guess(circuit.tree, guessed);
        start = rebuild(circuit.tree, guessed);
      }
    }

    FitResultOr<FitOutcome> result = FitError{FitError::Kind::Solver, {}};
    bool interrupted = false;
    {
      AllowThreadsHeedingSignals unlocked;
      try {
        result = run_fit(start, spectrum.frequencies, spectrum.impedances, call.options,
                         unlocked.hook());
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
