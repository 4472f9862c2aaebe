#pragma once
// Why a fit's returned point is where it is: which stopping test fired in
// the run that produced it.

#include <string_view>

namespace kelvara {

enum class Termination {
  // The least-squares solver's tests; the first three are convergence.
  ResidualsZero,
  Orthogonal,             // gtol test
  Converged,              // ftol and/or xtol test
  LostPatience,           // evaluation budget spent
  NoImprovementPossible,  // a tolerance below what rounding allows
  Numerical,              // a non-finite residual or Jacobian entry
  WrongDimensions,        // fewer residuals than parameters, or no parameters
  // The global searches.
  BudgetSpent,      // their iteration or evaluation budget used up
  SearchConverged,  // the search's own test (Nelder-Mead: vertex costs agree)
};

// Whether the least-squares solver converged.
constexpr bool is_success(Termination t) {
  return t == Termination::ResidualsZero || t == Termination::Orthogonal ||
         t == Termination::Converged;
}

// The reason as a snake_case name ("lost_patience") and as a sentence that
// says which test fired, for reports.
std::string_view termination_name(Termination t);
std::string_view termination_message(Termination t);

}  // namespace kelvara
