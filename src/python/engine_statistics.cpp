#include "python/engine_statistics.hpp"

#include <array>
#include <memory>
#include <vector>

#include "circuit/tree.hpp"
#include "fit/fit_problem.hpp"
#include "fit/free_fit.hpp"
#include "fit/residuals.hpp"
#include "python/bind_custom_elements.hpp"
#include "python/circuit_text.hpp"
#include "python/spectrum_input.hpp"

namespace kelvara::py {
namespace {

enum Arg { kCircuit, kFrequencies, kImpedances, kValues, kChiSquare, kWeight, kArgCount };
constexpr std::array<const char*, kArgCount> kNames = {"circuit", "frequencies", "impedances",
                                                       "values",  "chi_square",  "weight"};

}  // namespace

PyObject* engine_statistics(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    std::array<PyObject*, kArgCount> a{};
    parse_fastcall({"statistics", kNames, 6}, args, nargs, kwnames, a);
    const SeriesList tree = tree_from_text(
        argument(kNames[kCircuit], [&] { return to_text(a[kCircuit]); }), &engine_catalogue());
    const MeasuredSpectrum spectrum = read_spectrum(a[kFrequencies], a[kImpedances]);
    const std::vector<double> values =
        argument(kNames[kValues], [&] { return to_double_vector(a[kValues]); });
    const std::size_t n = param_count(tree);
    if (values.size() != n) {
      raise(PyExc_ValueError,
            "values needs " + std::to_string(n) + " values, got " + std::to_string(values.size()));
    }
    const double chi_square =
        argument(kNames[kChiSquare], [&] { return to_double(a[kChiSquare]); });
    const std::string weight = argument(kNames[kWeight], [&] { return to_string(a[kWeight]); });
    const auto modulus = parse_weighting(weight);
    if (!modulus) raise(PyExc_ValueError, unknown_weighting_message(weight));

    const SeriesList fitted = rebuild(tree, values);
    const std::unique_ptr<bool[]> held(new bool[n]());
    FreeStatistics stats;
    {
      AllowThreads unlocked;
      FitProblem problem(fitted, spectrum.frequencies, spectrum.impedances, *modulus);
      stats = free_statistics(problem, values, std::span<const bool>(held.get(), n), chi_square);
    }
    Ref stderr_values =
        stats.stderr_values.empty() ? Ref::borrow(Py_None) : to_python_list(stats.stderr_values);
    Ref rows = Ref::steal(PyList_New(Py_ssize_t(n)));
    for (std::size_t i = 0; i < n; ++i) {
      const auto row = stats.covariance.row(Eigen::Index(i));
      const std::vector<double> cells(row.begin(), row.end());
      PyList_SET_ITEM(rows.get(), Py_ssize_t(i), to_python_list(cells).release());
    }
    return Ref::steal(PyTuple_Pack(2, stderr_values.get(), rows.get())).release();
  });
}

}  // namespace kelvara::py
