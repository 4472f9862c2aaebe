#include "python/engine_lin_kk.hpp"

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <variant>

#include "python/numpy_array.hpp"
#include "python/spectrum_input.hpp"
#include "validity/lin_kk.hpp"

namespace kelvara::py {

const char* const kLinKkDoc =
    "lin_kk(frequencies, impedances, mu_criterion=0.85, min_rc=None, max_rc=50, num_rc=None, "
    "fit=\"complex\", add_inductance=True, add_capacitance=None, weighting=\"modulus\")\n--\n\n"
    "The Lin-KK test's fit: a dict with time_constants and values (R0, the R_k, then L and "
    "1/C where\nadded) as arrays, fitted (complex array), pseudo_chi_square, mu, mu_reached "
    "and add_capacitance.";

namespace {

enum Arg {
  kFrequencies,
  kImpedances,
  kMuCriterionArg,
  kMinRc,
  kMaxRcArg,
  kNumRc,
  kFit,
  kAddInductance,
  kAddCapacitance,
  kWeighting,
  kArgCount
};

constexpr std::array<const char*, kArgCount> kNames = {
    "frequencies", "impedances", "mu_criterion",   "min_rc",          "max_rc",
    "num_rc",      "fit",        "add_inductance", "add_capacitance", "weighting"};

std::optional<std::size_t> optional_count(Arg arg, PyObject* obj) {
  if (!obj || obj == Py_None) return std::nullopt;
  return std::size_t(argument(kNames[arg], [&] { return to_u64(obj); }));
}

}  // namespace

PyObject* engine_lin_kk(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, kArgCount> a{};
    parse_fastcall({"lin_kk", kNames, 2}, args, nargs, kwnames, a);
    const std::vector<double> f =
        argument(kNames[kFrequencies], [&] { return to_double_vector(a[kFrequencies]); });
    const std::vector<Complex> z =
        argument(kNames[kImpedances], [&] { return to_complex_vector(a[kImpedances]); });
    LinKkOptions options;
    if (a[kMuCriterionArg])
      options.mu_criterion =
          argument(kNames[kMuCriterionArg], [&] { return to_double(a[kMuCriterionArg]); });
    options.min_rc = optional_count(kMinRc, a[kMinRc]);
    if (auto m = optional_count(kMaxRcArg, a[kMaxRcArg])) options.max_rc = *m;
    options.num_rc = optional_count(kNumRc, a[kNumRc]);
    if (a[kFit]) {
      const std::string fit = argument(kNames[kFit], [&] { return to_string(a[kFit]); });
      if (fit == "real") {
        options.part = KkPart::Real;
      } else if (fit == "imag") {
        options.part = KkPart::Imag;
      } else if (fit != "complex") {
        raise(PyExc_ValueError, "fit must be 'complex', 'real' or 'imag', got '" + fit + "'");
      }
    }
    if (a[kAddInductance])
      options.add_inductance =
          argument(kNames[kAddInductance], [&] { return to_bool(a[kAddInductance]); });
    if (a[kAddCapacitance] && a[kAddCapacitance] != Py_None)
      options.add_capacitance =
          argument(kNames[kAddCapacitance], [&] { return to_bool(a[kAddCapacitance]); });
    if (a[kWeighting]) {
      const std::string w = argument(kNames[kWeighting], [&] { return to_string(a[kWeighting]); });
      if (w != "modulus" && w != "unit")
        raise(PyExc_ValueError, "weighting must be 'modulus' or 'unit', got '" + w + "'");
      options.modulus = w == "modulus";
    }
    std::variant<LinKkResult, std::string> out;
    {
      AllowThreads unlocked;
      out = lin_kk(f, z, options);
    }
    if (auto* message = std::get_if<std::string>(&out)) raise(PyExc_ValueError, *message);
    // NumPy's C API on first use, not at import: the command line's --help
    // imports this module and must not pay for NumPy.
    static bool numpy_loaded = false;
    if (!numpy_loaded) import_numpy(), numpy_loaded = true;
    const LinKkResult& r = std::get<LinKkResult>(out);
    Ref d = Ref::steal(PyDict_New());
    auto set = [&](const char* key, Ref value) {
      if (PyDict_SetItemString(d.get(), key, value.get()) < 0) throw ErrorAlreadySet{};
    };
    set("time_constants", new_real_array(r.time_constants));
    set("values", new_real_array(r.values));
    std::complex<double>* data = nullptr;
    Ref fitted = new_complex_array(r.fitted.size(), data);
    if (!r.fitted.empty()) std::memcpy(data, r.fitted.data(), r.fitted.size() * sizeof(Complex));
    set("fitted", std::move(fitted));
    set("pseudo_chi_square", to_python(r.pseudo_chi_square));
    set("mu", to_python(r.mu));
    set("mu_reached", Ref::borrow(r.mu_reached ? Py_True : Py_False));
    set("add_capacitance", Ref::borrow(r.add_capacitance ? Py_True : Py_False));
    return d.release();
  });
}

PyObject* engine_lin_kk_capacitive_end(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&] {
    static constexpr std::array<const char*, 2> kPair = {"frequencies", "impedances"};
    std::array<PyObject*, 2> a{};
    parse_fastcall({"lin_kk_capacitive_end", kPair, 2}, args, nargs, kwnames, a);
    const std::vector<double> f = argument(kPair[0], [&] { return to_double_vector(a[0]); });
    const std::vector<Complex> z = argument(kPair[1], [&] { return to_complex_vector(a[1]); });
    return Ref::borrow(capacitive_end(f, z) ? Py_True : Py_False).release();
  });
}

PyObject* engine_lin_kk_constants(PyObject*, PyObject*) {
  return guarded([] {
    Ref d = Ref::steal(PyDict_New());
    auto set = [&](const char* key, Ref value) {
      if (PyDict_SetItemString(d.get(), key, value.get()) < 0) throw ErrorAlreadySet{};
    };
    set("mu_criterion", to_python(kMuCriterion));
    set("rc_per_decade", to_python(kRcPerDecade));
    set("settle_counts", Ref::steal(PyLong_FromSize_t(kSettleCounts)));
    set("max_rc", Ref::steal(PyLong_FromSize_t(kMaxRc)));
    return d.release();
  });
}

}  // namespace kelvara::py
