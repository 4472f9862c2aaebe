"""The global fitting methods through Circuit.fit(method=...)."""

import math
import re

import numpy as np
import pytest

from kelvara import Circuit

TWO_ARCS = "R0-(R1,C1)-(R2,C2)"
TRUTH = [0.05, 0.1, 1e-4, 0.2, 0.5]  # time constants 1e-5 s and 0.1 s, four decades apart
FREQS = np.logspace(5, -2, 50)

# Budgets far below the defaults that still end in the global basin from a
# decade away. The seeded methods are deterministic; differential evolution
# is seeded by the OS on every run and gets a margin.
QUICK = {
    "levenberg_marquardt": {},
    "particle_swarm": {"num_particles": 100, "generations": 200, "seed": 3},
    "differential_evolution": {"de_evaluations": 4000},
    "basin_hopping": {"basin_hopping_hops": 5, "seed": 3},
    "nelder_mead": {"nelder_mead_iterations": 300},
    "simulated_annealing": {"sa_iterations": 1000, "seed": 3},
}
SEEDED = ["particle_swarm", "basin_hopping", "simulated_annealing"]
T0_REJECTED = [0.0, -0.0, -1.0, -math.inf]
T0_MESSAGE = re.escape(
    'solver error: Invalid parameter: "`SimulatedAnnealing`: Initial temperature must be > 0."'
)


@pytest.fixture(scope="module")
def spectrum():
    rng = np.random.default_rng(0)
    z = Circuit(TWO_ARCS).with_values(TRUTH).impedance(FREQS)
    noise = 1 + 0.01 * (rng.standard_normal(FREQS.size) + 1j * rng.standard_normal(FREQS.size))
    return FREQS, list(z * noise)


@pytest.fixture(scope="module")
def optimum(spectrum):
    return Circuit(TWO_ARCS).with_values(TRUTH).fit(*spectrum, guess_init=False).cost


def fit(method, spectrum, **options):
    circuit = Circuit(TWO_ARCS).with_values([v * 10 for v in TRUTH])
    return circuit.fit(*spectrum, method=method, guess_init=False, **options)


def summary(result):
    return result.params, result.stderr, result.cost, result.iterations, result.impedance_evals


# A zero step makes basin hopping refit in place.
@pytest.mark.parametrize(
    "method, options",
    [*QUICK.items(), ("basin_hopping", {"basin_hopping_hops": 3, "basin_hopping_step_size": 0.0})],
    ids=[*QUICK, "basin_hopping_step_size_zero"],
)
def test_reaches_least_squares_optimum_from_a_decade_away(method, options, spectrum, optimum):
    result = fit(method, spectrum, **options)
    assert result.success
    assert abs(result.cost - optimum) <= 1e-6 * optimum, f"cost {result.cost!r} vs {optimum!r}"


@pytest.mark.parametrize("method", SEEDED)
def test_seed_reproduces_the_fit_and_another_seed_changes_it(method, spectrum):
    options = {**QUICK[method], "seed": 11}
    first = fit(method, spectrum, **options)
    assert summary(fit(method, spectrum, **options)) == summary(first)
    assert fit(method, spectrum, **{**options, "seed": 12}).params != first.params


def test_differential_evolution_ignores_the_seed(spectrum):
    runs = [fit("differential_evolution", spectrum, de_evaluations=200, seed=5) for _ in range(2)]
    assert runs[0].params != runs[1].params


# An infinite measured point (unit weights) makes every cost +inf: the polish
# can never win, so the outcome carries each method's own iteration count,
# and seven more steps add exactly their own evaluations (six particles; one
# proposal; reflection, inside contraction and a three-vertex shrink; ten
# runs, whose zero budget already counted as one).
@pytest.mark.parametrize(
    ("method", "budget", "own_iterations", "added_evals"),
    [
        ("particle_swarm", "generations", (0, 7), 42),
        ("simulated_annealing", "sa_iterations", (0, 7), 7),
        ("nelder_mead", "nelder_mead_iterations", (0, 7), 35),
        ("differential_evolution", "de_evaluations", (10, 70), 60),
    ],
)
def test_budget_sets_own_iterations_and_evaluations(method, budget, own_iterations, added_evals):
    circuit = Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 1e-3])
    z = list(circuit.impedance(FREQS))
    z[3] = complex(math.inf, -1.0)
    common = {"method": method, "weight": "unit", "guess_init": False, "seed": 1}
    results = [circuit.fit(FREQS, z, num_particles=6, **common, **{budget: k}) for k in (0, 7)]
    assert [(r.cost, r.iterations) for r in results] == [(math.inf, k) for k in own_iterations]
    assert results[1].impedance_evals - results[0].impedance_evals == added_evals


# With no iterations of its own a method still polishes its starting best;
# a positive count can only be the polish's.
@pytest.mark.parametrize(
    ("method", "options"),
    [
        ("particle_swarm", {"generations": 0, "num_particles": 50, "seed": 2}),
        ("nelder_mead", {"nelder_mead_iterations": 0}),
        ("simulated_annealing", {"sa_iterations": 0, "seed": 2}),
    ],
)
def test_zero_budget_still_polishes(method, options, spectrum):
    result = fit(method, spectrum, **options)
    assert math.isfinite(result.cost)
    assert result.iterations > 0


def test_basin_hopping_without_hops_is_the_least_squares_fit(spectrum):
    hopped = fit("basin_hopping", spectrum, basin_hopping_hops=0)
    plain = fit("levenberg_marquardt", spectrum)
    assert summary(hopped)[:4] == summary(plain)[:4]
    assert hopped.success
    assert hopped.impedance_evals == 1 + 2 * len(TRUTH)  # the final statistics only


def test_basin_hopping_walks_on_only_from_the_hops_its_metropolis_test_accepts(spectrum):
    # Long hops land in worse minima. At T = 1e-300 the Metropolis test refuses every uphill
    # hop and at T = 1e300 accepts it, so from one seed the two walks part at the first one.
    def walk(temperature):
        options = {"basin_hopping_hops": 6, "basin_hopping_step_size": 4.0, "seed": 2}
        return fit("basin_hopping", spectrum, basin_hopping_temperature=temperature, **options)

    cold, hot = walk(1e-300), walk(1e300)
    assert summary(cold) != summary(hot)


@pytest.mark.parametrize(
    ("method", "option", "value", "shown"),
    [
        ("particle_swarm", "num_particles", 0, "0"),
        ("basin_hopping", "basin_hopping_step_size", -0.5, "-0.5"),
        ("basin_hopping", "basin_hopping_step_size", math.nan, "NaN"),
        ("basin_hopping", "basin_hopping_step_size", math.inf, "inf"),
        ("basin_hopping", "basin_hopping_step_size", 1e308, "1e308"),  # 2 * 1e308 overflows
        ("basin_hopping", "basin_hopping_temperature", math.nan, "NaN"),
        ("basin_hopping", "basin_hopping_temperature", -math.inf, "-inf"),
        ("simulated_annealing", "sa_initial_temperature", math.nan, "NaN"),
        ("simulated_annealing", "sa_initial_temperature", math.inf, "inf"),
        ("simulated_annealing", "sa_initial_temperature", 1e308, "1e308"),
        *(("simulated_annealing", "sa_initial_temperature", t0, None) for t0 in T0_REJECTED),
    ],
    ids=str,
)
def test_rejects_options_that_cannot_be_sampled(method, option, value, shown, spectrum):
    # Non-positive temperatures (shown None) are left to the solver, which words its own error.
    pattern = f"{option} must .* got {re.escape(shown)}$" if shown else T0_MESSAGE + r"\Z"
    with pytest.raises(ValueError, match="^" + pattern):
        fit(method, spectrum, **{option: value})
