#include "fit/termination.hpp"

namespace kelvara {

std::string_view termination_name(Termination t) {
  switch (t) {
    case Termination::ResidualsZero:
      return "residuals_zero";
    case Termination::Orthogonal:
      return "orthogonal";
    case Termination::Converged:
      return "converged";
    case Termination::LostPatience:
      return "lost_patience";
    case Termination::NoImprovementPossible:
      return "no_improvement_possible";
    case Termination::Numerical:
      return "numerical";
    case Termination::WrongDimensions:
      return "wrong_dimensions";
    case Termination::BudgetSpent:
      return "budget_spent";
    case Termination::SearchConverged:
      return "search_converged";
  }
  return "unknown";
}

std::string_view termination_message(Termination t) {
  switch (t) {
    case Termination::ResidualsZero:
      return "the residuals are exactly zero";
    case Termination::Orthogonal:
      return "the residuals are orthogonal to every Jacobian column (gtol test)";
    case Termination::Converged:
      return "the cost and the parameters stopped changing (ftol/xtol test)";
    case Termination::LostPatience:
      return "the evaluation budget max_iterations x (n + 1) was spent before convergence";
    case Termination::NoImprovementPossible:
      return "a tolerance is below what rounding allows: no further improvement possible";
    case Termination::Numerical:
      return "a residual or Jacobian entry was not finite";
    case Termination::WrongDimensions:
      return "fewer residuals than free parameters, or no parameter free";
    case Termination::BudgetSpent:
      return "the search's iteration or evaluation budget was spent";
    case Termination::SearchConverged:
      return "the search's own convergence test passed";
  }
  return "unknown termination";
}

}  // namespace kelvara
