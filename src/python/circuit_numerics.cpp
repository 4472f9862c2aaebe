// Circuit.residuals() and Circuit.jacobian(): the fit's own mathematics,
// for external optimisers.

#include <array>
#include <string>

#include "circuit/tree.hpp"
#include "fit/jacobian.hpp"
#include "fit/residuals.hpp"
#include "python/bind_circuit.hpp"
#include "python/circuit_methods.hpp"
#include "python/spectrum_input.hpp"

namespace kelvara::py {

const char* const kResidualsDoc =
    "residuals($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
    "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
    "arbitrary parameter vector -- the same building block `fit()` uses\n"
    "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
    "`scipy.optimize.least_squares`) can drive this circuit's math directly.";

const char* const kJacobianDoc =
    "jacobian($self, params, frequencies, impedances=None, weight=\"modulus\")\n--\n\n"
    "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
    "len(frequencies), len(params))` -- rows are residuals, columns are\n"
    "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects.";

namespace {

// The arguments both methods take, converted and checked, ready to use
// without the interpreter lock.
struct NumericsCall {
  std::vector<double> params;
  MeasuredSpectrum spectrum;
  bool modulus = true;
};

NumericsCall read_call(const char* function, const SeriesList& tree, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr std::array<const char*, 4> names = {"params", "frequencies", "impedances",
                                                       "weight"};
  std::array<PyObject*, 4> given{};
  parse_fastcall({function, names, 2}, args, nargs, kwnames, given);
  NumericsCall call;
  call.params = argument("params", [&] { return to_double_vector(given[0]); });
  const std::string weight =
      given[3] ? argument("weight", [&] { return to_string(given[3]); }) : "modulus";
  call.spectrum = read_spectrum(given[1], given[2]);
  const auto modulus = parse_weighting(weight);
  if (!modulus) raise(PyExc_ValueError, unknown_weighting_message(weight));
  // The evaluation reads one value per parameter; a short vector is the
  // caller's mistake, reported rather than read past.
  const std::size_t count = param_count(tree);
  if (call.params.size() < count) {
    raise(PyExc_ValueError, "this circuit has " + std::to_string(count) +
                                " parameters, but params holds " +
                                std::to_string(call.params.size()) + " values");
  }
  call.modulus = *modulus;
  return call;
}

}  // namespace

PyObject* circuit_residuals(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guarded([&] {
    const SeriesList& tree = circuit_value(self).tree;
    const NumericsCall call = read_call("Circuit.residuals", tree, args, nargs, kwnames);
    std::vector<double> r;
    {
      AllowThreads unlocked;
      const FitProblem problem(tree, call.spectrum.frequencies, call.spectrum.impedances,
                               call.modulus);
      r = residuals(problem, call.params);
    }
    return to_python_list(r).release();
  });
}

PyObject* circuit_jacobian(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  return guarded([&] {
    const SeriesList& tree = circuit_value(self).tree;
    const NumericsCall call = read_call("Circuit.jacobian", tree, args, nargs, kwnames);
    Eigen::MatrixXd jac;
    {
      AllowThreads unlocked;
      const FitProblem problem(tree, call.spectrum.frequencies, call.spectrum.impedances,
                               call.modulus);
      jac = jacobian_columns(problem, call.params);
    }
    // Rows of residuals, columns of parameters; no columns means no rows.
    const Eigen::Index rows = jac.cols() == 0 ? 0 : jac.rows();
    Ref list = Ref::steal(PyList_New(rows));
    for (Eigen::Index i = 0; i < rows; ++i) {
      Ref row = Ref::steal(PyList_New(jac.cols()));
      for (Eigen::Index j = 0; j < jac.cols(); ++j)
        PyList_SET_ITEM(row.get(), j, to_python(jac(i, j)).release());
      PyList_SET_ITEM(list.get(), i, row.release());
    }
    return list.release();
  });
}

}  // namespace kelvara::py
