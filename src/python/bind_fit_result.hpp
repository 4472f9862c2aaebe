#pragma once
// The Python `FitResult` record: what a fit returns.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/bind_circuit.hpp"

namespace kelvara::py {

using NamedValues = std::vector<std::pair<std::string, double>>;

struct FitResultValue {
  CircuitValue circuit;  // the fitted circuit
  NamedValues params;    // every parameter name with its fitted value, in order
  std::optional<NamedValues> stderr_values;
  std::uint64_t iterations = 0;
  std::uint64_t impedance_evals = 0;
  double cost = 0.0;
  double chi_square = 0.0;
  bool success = false;
};

PyTypeObject* fit_result_type();

Ref wrap_fit_result(FitResultValue value);

// "FitResult(success=true, iterations=12, impedance_evals=340,
// chi_square=1.234568e-3, params={"R0.r": 10.0, "C1.c": 1e-5})"
std::string fit_result_repr(const FitResultValue& value);

}  // namespace kelvara::py
