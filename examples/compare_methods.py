"""Fit one spectrum with each of the six methods and compare them.

The global methods get small budgets here so the script runs in seconds;
the defaults are larger. `seed` makes particle swarm, simulated annealing
and basin hopping repeatable; differential evolution draws a fresh seed on
every run, so its line changes from run to run (with this small budget it
sometimes stops short of the best fit).
"""

import time
from typing import Any

import numpy as np

import kelvara

circuit = kelvara.Circuit("two_rq")
truth = [0.02, 0.01, 0.05, 0.85, 0.03, 2.0, 0.8]
f = np.logspace(4, -2, 60)
rng = np.random.default_rng(1)
z = circuit.with_values(truth).impedance(f)
z = z + 1e-3 * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))


def arcs_in_order(values: np.ndarray) -> np.ndarray:
    """The two (R, CPE) arcs are interchangeable: list the faster one first."""
    r1, q1, a1, r2, q2, a2 = values[1:]
    if (r1 * q1) ** (1 / a1) > (r2 * q2) ** (1 / a2):
        return np.array([values[0], r2, q2, a2, r1, q1, a1])
    return values


start = circuit.with_values([0.03, 0.02, 0.1, 0.8, 0.05, 1.0, 0.75])

budgets: dict[str, dict[str, Any]] = {
    "levenberg_marquardt": {},
    "nelder_mead": {"nelder_mead_iterations": 2000},
    "particle_swarm": {"num_particles": 60, "generations": 300},
    "differential_evolution": {"de_evaluations": 4000},
    "simulated_annealing": {"sa_iterations": 2000},
    "basin_hopping": {"basin_hopping_hops": 5},
}

print(f"{'method':<24}{'chi_square':>12}{'evaluations':>13}{'time / s':>10}  worst error")
for method, budget in budgets.items():
    begin = time.perf_counter()
    result = start.fit(f, z, method=method, seed=7, **budget)
    elapsed = time.perf_counter() - begin
    fitted = arcs_in_order(np.array([result.params[n] for n in circuit.param_names()]))
    worst = np.max(np.abs(fitted / truth - 1))
    evals = result.impedance_evals
    print(f"{method:<24}{result.chi_square:>12.3e}{evals:>13}{elapsed:>10.3f}  {worst:.1%}")
