"""Fits whose bounded optimum has a parameter on its bound: the re-fit with
that parameter held must reach what a bounded optimiser reaches."""

import numpy as np
import pytest
from scipy.optimize import least_squares

from kelvara import Circuit

CIRCUIT = Circuit("R0-(R1,CPE1)-(R2,CPE2)-W3")
FREQS = np.logspace(4, -1.7, 57)
LO, HI = (np.array(side) for side in zip(*CIRCUIT.param_bounds(), strict=True))

# The methods whose search begins at the circuit's values (the population
# methods draw theirs from a box around it instead). Started at the bounded
# optimum, each of them must end there.
METHODS = {
    "levenberg_marquardt": {},
    "basin_hopping": {"basin_hopping_hops": 3, "seed": 3},
    "nelder_mead": {"nelder_mead_iterations": 300},
    "simulated_annealing": {"sa_iterations": 500, "seed": 3},
}


def capacitive_arc_spectrum():
    # The second arc's exponent is 1.1, beyond the bound: the bounded optimum
    # holds CPE2.alpha at 1 (an ideal capacitive arc).
    w = 2 * np.pi * FREQS

    def cpe(q, a):
        return 1 / (q * (1j * w) ** a)

    def par(a, b):
        return a * b / (a + b)

    arcs = 0.12 + par(1.05, cpe(0.043, 0.52)) + par(0.42, cpe(0.088, 1.1))
    return arcs + 0.097 * (1 - 1j) / np.sqrt(w)


@pytest.fixture(scope="module")
def problem():
    z = capacitive_arc_spectrum()
    start = [0.12, 1.05, 0.043, 0.52, 0.42, 0.088, 0.999, 0.097]
    ref = least_squares(lambda p: CIRCUIT.residuals(p, FREQS, z), start, bounds=(LO, HI))
    assert ref.x[6] == pytest.approx(1.0, abs=1e-6)  # the exponent sits on its bound
    return z, np.minimum(ref.x, HI - 1e-9), ref.cost


@pytest.mark.parametrize("start", ["default", "at_reference"])
def test_reaches_the_bounded_reference(problem, start):
    z, optimum, reference = problem
    circuit = CIRCUIT.with_values(list(optimum)) if start == "at_reference" else CIRCUIT
    result = circuit.fit(FREQS, z, guess_init=False)
    assert result.success
    assert result.cost <= reference * (1 + 1e-6), f"cost {result.cost!r} vs {reference!r}"


@pytest.mark.parametrize("method", METHODS)
def test_no_method_ends_above_the_clamp_of_its_start(problem, method):
    # The start is feasible, so it is its own clamp; ending above it would
    # mean a bound re-fit lost to a point no feasible fit can reach.
    z, optimum, reference = problem
    circuit = CIRCUIT.with_values(list(optimum))
    result = circuit.fit(FREQS, z, method=method, guess_init=False, **METHODS[method])
    start_cost = 0.5 * float(np.sum(np.square(CIRCUIT.residuals(list(optimum), FREQS, z))))
    assert result.cost <= start_cost * (1 + 1e-9)
    assert result.cost <= reference * (1 + 1e-6)
