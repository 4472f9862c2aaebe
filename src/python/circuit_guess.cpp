// Circuit.guess() and Circuit.ml_circuits(): the machine-learning start.

#include <array>

#include "models/guess_params.hpp"
#include "models/registry.hpp"
#include "python/bind_circuit.hpp"
#include "python/circuit_methods.hpp"
#include "python/spectrum_input.hpp"

namespace kelvara::py {

const char* const kGuessDoc =
    "guess($self, frequencies, impedances=None, weights=None)\n--\n\n"
    "Machine-learning guess of starting parameters for this circuit's\n"
    "topology, in `param_names()` order.\n\n"
    "Series and parallel elements may be written with any order and labels:\n"
    "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
    "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
    "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n\n"
    "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
    "bundled model.\n\n"
    "Raises if no model has been trained for this topology, or if `weights`\n"
    "was trained for a different one.";

const char* const kMlCircuitsDoc =
    "ml_circuits()\n--\n\n"
    "Names accepted by the constructor that have trained initial-parameter\n"
    "models, and so get a guessed starting point from `fit()` by default.";

std::optional<std::string> optional_path(const char* name, PyObject* obj) {
  if (!obj || obj == Py_None) return std::nullopt;
  return argument(name, [&] { return to_string(obj); });
}

std::vector<double> guess_or_raise(const SeriesList& tree, const std::vector<double>& f,
                                   const std::vector<std::complex<double>>& z,
                                   const std::optional<std::string>& weights) {
  // Without the interpreter lock: reading a weight file may be slow (a
  // network drive), and the guess touches only the copies passed in.
  auto guessed = [&] {
    AllowThreads unlocked;
    return guess_params(tree, f, z, weights);
  }();
  if (auto* message = std::get_if<std::string>(&guessed)) raise(PyExc_ValueError, *message);
  return std::move(std::get<std::vector<double>>(guessed));
}

PyObject* circuit_guess(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded([&] {
    static constexpr std::array<const char*, 3> names = {"frequencies", "impedances", "weights"};
    std::array<PyObject*, 3> given{};
    parse_fastcall({"Circuit.guess", names, 1}, args, nargs, kwnames, given);
    const auto weights = optional_path("weights", given[2]);
    const MeasuredSpectrum spectrum = read_spectrum(given[0], given[1]);
    return to_python_list(guess_or_raise(circuit_value(self).tree, spectrum.frequencies,
                                         spectrum.impedances, weights))
        .release();
  });
}

PyObject* circuit_ml_circuits(PyObject*, PyObject*) {
  return guarded([] { return to_python_list(models::names()).release(); });
}

}  // namespace kelvara::py
