#include "python/engine_fit.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "circuit/tree.hpp"
#include "fit/engine_options.hpp"
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
    std::string text = "fit(circuit, frequencies, impedances, starts, held, lower, upper";
    for (const char* name : {"weight", "max_iterations", "ftol", "xtol"}) {
      text += ", " + std::string(name) + "=" + std::string(fit_option(name).default_text);
    }
    for (const FitOptionSpec& option : kEngineOptionTable) {
      text += ", " + std::string(option.name) + "=" + std::string(option.default_text);
    }
    return text +
           ")\n--\n\n"
           "Fit `circuit` (notation or a registry key) with the parameters flagged in `held` kept "
           "at the\n"
           "first start's values and the others inside [lower, upper]; `starts` lists physical "
           "starting\n"
           "vectors, the first of them the local fit's. `search` \"thorough\" adds the "
           "spectrum-scaled\n"
           "search, \"quick\" with a quarter of its starts, \"local\" runs the multi-start "
           "alone;\n"
           "`effort` (1 to " +
           std::to_string(kMaxEffort) +
           ") multiplies the search's starts.\n"
           "Returns a dict: values, stderr (None when J^T J is singular), covariance, cost, "
           "chi_square,\n"
           "success, termination, message, evaluations, iterations (solver evaluations over "
           "every run)\n"
           "and solver_runs.";
  }();
  return doc.c_str();
}

namespace {

template <std::size_t N>
PyObject* option_rows(const std::array<FitOptionSpec, N>& table) {
  return guarded([&] {
    Ref out = Ref::steal(PyList_New(0));
    for (const FitOptionSpec& option : table) {
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

}  // namespace

PyObject* engine_fit_options(PyObject*, PyObject*) { return option_rows(kFitOptionTable); }

PyObject* engine_own_options(PyObject*, PyObject*) { return option_rows(kEngineOptionTable); }

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
  kMaxIterations,
  kFtol,
  kXtol,
  kSearch,
  kSeed,
  kEffort,
  kArgCount
};

constexpr std::array<const char*, kArgCount> kNames = {"circuit",
                                                       "frequencies",
                                                       "impedances",
                                                       "starts",
                                                       "held",
                                                       "lower",
                                                       "upper",
                                                       fit_option("weight").name.data(),
                                                       fit_option("max_iterations").name.data(),
                                                       fit_option("ftol").name.data(),
                                                       fit_option("xtol").name.data(),
                                                       engine_option("search").name.data(),
                                                       engine_option("seed").name.data(),
                                                       engine_option("effort").name.data()};

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
  set("solver_runs", Ref::steal(PyLong_FromSize_t(result.solver_runs)));
  set("termination", to_python(termination_name(o.termination)));
  set("message", to_python(termination_message(o.termination)));
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

    EngineOptions options;
    Ref starts = Ref::steal(PySequence_Fast(a[kStarts], "starts must be a sequence of sequences"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(starts.get()); ++i) {
      options.starts.push_back(argument(kNames[kStarts], [&] {
        return to_double_vector(PySequence_Fast_GET_ITEM(starts.get(), i));
      }));
    }
    Ref held = Ref::steal(PySequence_Fast(a[kHeld], "held must be a sequence of booleans"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(held.get()); ++i) {
      options.held.push_back(argument(
          kNames[kHeld], [&] { return to_bool(PySequence_Fast_GET_ITEM(held.get(), i)); }));
    }
    options.lower = argument(kNames[kLower], [&] { return to_double_vector(a[kLower]); });
    options.upper = argument(kNames[kUpper], [&] { return to_double_vector(a[kUpper]); });
    if (a[kWeight])
      options.weight = argument(kNames[kWeight], [&] { return to_string(a[kWeight]); });
    if (a[kSearch])
      options.search = argument(kNames[kSearch], [&] { return to_string(a[kSearch]); });
    if (a[kSeed]) options.seed = argument(kNames[kSeed], [&] { return to_u64(a[kSeed]); });
    if (a[kEffort]) options.effort = argument(kNames[kEffort], [&] { return to_u32(a[kEffort]); });
    if (a[kMaxIterations])
      options.lm.max_iterations =
          argument(kNames[kMaxIterations], [&] { return to_u32(a[kMaxIterations]); });
    if (a[kFtol]) options.lm.ftol = argument(kNames[kFtol], [&] { return to_double(a[kFtol]); });
    if (a[kXtol]) options.lm.xtol = argument(kNames[kXtol], [&] { return to_double(a[kXtol]); });
    FitResultOr<EngineRequest> resolved =
        engine_request(tree, spectrum.frequencies, spectrum.impedances, std::move(options));
    if (auto* e = std::get_if<FitError>(&resolved)) raise(PyExc_ValueError, e->message());
    const EngineRequest& request = std::get<EngineRequest>(resolved);

    const SeriesList first = rebuild(tree, request.starts.front());
    EngineOutcome result;
    bool interrupted = false;
    {
      AllowThreadsHeedingSignals unlocked;
      try {
        FitProblem problem(first, spectrum.frequencies, spectrum.impedances, request.modulus,
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
