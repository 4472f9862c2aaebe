#include "python/engine_fit.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "circuit/tree.hpp"
#include "fit/fit_option_table.hpp"
#include "fit/fit_options.hpp"
#include "fit/fit_problem.hpp"
#include "fit/search.hpp"
#include "python/bind_custom_elements.hpp"
#include "python/circuit_text.hpp"
#include "python/spectrum_input.hpp"
#include "support/text_format.hpp"

namespace kelvara::py {

const char* engine_fit_doc() {
  static const std::string doc = [] {
    std::string text = "fit(circuit, frequencies, impedances, starts, held, lower, upper, weight=" +
                       std::string(fit_option("weight").default_text) + ", search=True, seed=0";
    for (const char* name : {"max_iterations", "ftol", "xtol"}) {
      text += ", " + std::string(name) + "=" + std::string(fit_option(name).default_text);
    }
    return text +
           ", effort=1, quick=False)\n--\n\n"
           "Fit `circuit` (notation or a registry key) with the parameters flagged in `held` kept "
           "at the\n"
           "first start's values and the others inside [lower, upper]; `starts` lists physical "
           "starting\n"
           "vectors, the first of them the local fit's. With `search` the spectrum-scaled search "
           "runs too,\n"
           "with a quarter of its starts when `quick`.\n"
           "Returns a dict: values, stderr (None when J^T J is singular), covariance, cost, "
           "chi_square,\n"
           "success, evaluations, iterations, starts. `effort` multiplies the search's starts.";
  }();
  return doc.c_str();
}

PyObject* engine_fit_options(PyObject*, PyObject*) {
  return guarded([] {
    Ref out = Ref::steal(PyList_New(0));
    for (const FitOptionSpec& option : kFitOptionTable) {
      Ref row = Ref::steal(PyDict_New());
      auto set = [&](const char* key, Ref value) {
        if (PyDict_SetItemString(row.get(), key, value.get()) < 0) throw ErrorAlreadySet{};
      };
      set("name", to_python(option.name));
      set("default", to_python(option.default_text));
      set("owner", option.owner ? to_python(name_of(*option.owner)) : Ref::borrow(Py_None));
      set("rule", to_python(option.rule));
      if (PyList_Append(out.get(), row.get()) < 0) throw ErrorAlreadySet{};
    }
    return out.release();
  });
}

namespace {

enum Arg {
  kCircuit,
  kFrequencies,
  kImpedances,
  kStarts,
  kHeld,
  kLower,
  kUpper,
  kWeight,
  kSearch,
  kSeed,
  kMaxIterations,
  kFtol,
  kXtol,
  kEffort,
  kQuick,
  kArgCount
};

constexpr std::array<const char*, kArgCount> kNames = {"circuit",
                                                       "frequencies",
                                                       "impedances",
                                                       "starts",
                                                       "held",
                                                       "lower",
                                                       "upper",
                                                       "weight",
                                                       "search",
                                                       "seed",
                                                       fit_option("max_iterations").name.data(),
                                                       fit_option("ftol").name.data(),
                                                       fit_option("xtol").name.data(),
                                                       "effort",
                                                       "quick"};

std::vector<double> vector_of_length(Arg arg, PyObject* obj, std::size_t n) {
  std::vector<double> out = argument(kNames[arg], [&] { return to_double_vector(obj); });
  if (out.size() != n) {
    raise(PyExc_ValueError, std::string(kNames[arg]) + " needs " + std::to_string(n) +
                                " values, got " + std::to_string(out.size()));
  }
  return out;
}

Ref dict_of(const EngineOutcome& result) {
  const FitOutcome& o = result.outcome;
  Ref d = Ref::steal(PyDict_New());
  auto set = [&](const char* key, Ref value) {
    if (PyDict_SetItemString(d.get(), key, value.get()) < 0) throw ErrorAlreadySet{};
  };
  set("values", to_python_list(o.params));
  set("stderr", o.stderr_values ? to_python_list(*o.stderr_values) : Ref::borrow(Py_None));
  const Eigen::Index n = result.covariance.rows();
  Ref rows = Ref::steal(PyList_New(n));
  for (Eigen::Index i = 0; i < n; ++i) {
    std::vector<double> row(result.covariance.row(i).begin(), result.covariance.row(i).end());
    PyList_SET_ITEM(rows.get(), i, to_python_list(row).release());
  }
  set("covariance", rows);
  set("cost", to_python(o.cost));
  set("chi_square", to_python(o.chi_square));
  set("success", Ref::borrow(o.success ? Py_True : Py_False));
  set("evaluations", Ref::steal(PyLong_FromUnsignedLongLong(o.impedance_evals)));
  set("iterations", Ref::steal(PyLong_FromUnsignedLongLong(o.iterations)));
  set("starts", Ref::steal(PyLong_FromSize_t(result.starts)));
  set("end_costs", to_python_list(result.end_costs));
  return d;
}

}  // namespace

PyObject* engine_fit_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, kArgCount> a{};
    parse_fastcall({"fit", kNames, 7}, args, nargs, kwnames, a);
    const SeriesList tree =
        tree_from_text(argument(kNames[kCircuit], [&] { return to_text(a[kCircuit]); }),
                       &engine_catalogue());  // custom elements parse here
    const MeasuredSpectrum spectrum = read_spectrum(a[kFrequencies], a[kImpedances]);
    const std::size_t n = param_count(tree);

    EngineRequest request;
    Ref starts = Ref::steal(PySequence_Fast(a[kStarts], "starts must be a sequence of sequences"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(starts.get()); ++i) {
      request.starts.push_back(
          vector_of_length(kStarts, PySequence_Fast_GET_ITEM(starts.get(), i), n));
    }
    if (request.starts.empty())
      raise(PyExc_ValueError, "starts needs at least one starting vector");
    Ref held = Ref::steal(PySequence_Fast(a[kHeld], "held must be a sequence of booleans"));
    if (std::size_t(PySequence_Fast_GET_SIZE(held.get())) != n) {
      raise(PyExc_ValueError, "held needs " + std::to_string(n) + " flags");
    }
    request.held_flags.reset(new bool[n]());
    for (std::size_t i = 0; i < n; ++i) {
      request.held_flags[i] = argument(kNames[kHeld], [&] {
        return to_bool(PySequence_Fast_GET_ITEM(held.get(), Py_ssize_t(i)));
      });
    }
    const std::vector<double> lower = vector_of_length(kLower, a[kLower], n);
    const std::vector<double> upper = vector_of_length(kUpper, a[kUpper], n);
    const std::vector<Bounds> catalogue = param_bounds(tree);
    const std::vector<std::string> names = param_names(tree);
    for (std::size_t i = 0; i < n; ++i) {
      const Bounds b{std::fmax(lower[i], catalogue[i].lo), std::fmin(upper[i], catalogue[i].hi)};
      if (!(b.lo <= b.hi)) {
        raise(PyExc_ValueError, "the box of " + names[i] + " is empty: (" + format_debug(lower[i]) +
                                    ", " + format_debug(upper[i]) + ")");
      }
      request.box.push_back(b);
    }
    for (const auto& start : request.starts) {
      for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(start[i])) {
          raise(PyExc_ValueError,
                "starting value of " + names[i] + " must be finite, got " + format_debug(start[i]));
        }
      }
    }
    std::string weight = FitOptions{}.modulus ? "modulus" : "unit";
    if (a[kWeight]) weight = argument(kNames[kWeight], [&] { return to_string(a[kWeight]); });
    const auto modulus = parse_weighting(weight);
    if (!modulus) raise(PyExc_ValueError, unknown_weighting_message(weight));
    if (a[kSearch]) request.search = argument(kNames[kSearch], [&] { return to_bool(a[kSearch]); });
    if (a[kQuick] && argument(kNames[kQuick], [&] { return to_bool(a[kQuick]); })) {
      request.settings = SearchSettings::quick();
    }
    if (a[kSeed]) request.settings.seed = argument(kNames[kSeed], [&] { return to_u64(a[kSeed]); });
    if (a[kEffort]) {
      // Scales how many starts the search draws, screens, polishes and hops from.
      const std::uint32_t effort = argument(kNames[kEffort], [&] { return to_u32(a[kEffort]); });
      if (effort == 0) raise(PyExc_ValueError, "effort must be at least 1, got 0");
      SearchSettings& s = request.settings;
      s.quasi_random *= effort, s.screened *= effort, s.polished *= effort, s.hops *= effort;
    }
    FitOptions options;
    if (a[kMaxIterations])
      options.max_iterations =
          argument(kNames[kMaxIterations], [&] { return to_u32(a[kMaxIterations]); });
    if (a[kFtol]) options.ftol = argument(kNames[kFtol], [&] { return to_double(a[kFtol]); });
    if (a[kXtol]) options.xtol = argument(kNames[kXtol], [&] { return to_double(a[kXtol]); });
    if (auto e = validate_options(FitMethod::LevenbergMarquardt, options))
      raise(PyExc_ValueError, e->message());
    // The first start is the one the local fit takes: checked as kelvara checks a start.
    if (auto e = check_fit_inputs(rebuild(tree, request.starts.front()), spectrum.frequencies,
                                  spectrum.impedances)) {
      raise(PyExc_ValueError, e->message());
    }
    request.lm = LmSettings{options.ftol, options.xtol, 1e-8, options.max_iterations};

    // The held values come from the first start; every start agrees on them.
    for (auto& start : request.starts) {
      for (std::size_t i = 0; i < n; ++i) {
        if (request.held_flags[i]) start[i] = request.starts.front()[i];
      }
      clamp_into_bounds(start, request.box);
    }
    const SeriesList first = rebuild(tree, request.starts.front());
    EngineOutcome result;
    bool interrupted = false;
    {
      AllowThreadsHeedingSignals unlocked;
      try {
        FitProblem problem(first, spectrum.frequencies, spectrum.impedances, *modulus,
                           unlocked.hook());
        problem.bounds = request.box;
        problem.success_ceiling = success_ceiling(problem);
        result = engine_fit(problem, request);
      } catch (const FitInterrupted&) {
        interrupted = true;
      }
    }
    if (interrupted) throw ErrorAlreadySet{};
    return dict_of(result).release();
  });
}

}  // namespace kelvara::py
