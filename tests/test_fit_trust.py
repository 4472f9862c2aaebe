"""A fit reports success only when it can be trusted: finite starts, no ending above the
start, options that mean something, standard errors that never claim false certainty."""

import math
import re

import numpy as np
import pytest
from support.eisnn_format import random_guesser, write_eisnn

from kelvara import Circuit

F = np.logspace(-2, 6, 40)
TWO_RC = Circuit("R0-(R1,C1)-(R2,C2)")
TWO_RC_Z = TWO_RC.with_values([10, 100, 1e-5, 1000, 1e-2]).impedance(F) * (
    1 + 0.02 * np.random.default_rng(0).standard_normal(F.size)
)


def start_cost(circuit, values, f, z):
    r = (circuit.with_values(values).impedance(f) - z) / np.abs(z)
    return 0.5 * float(np.sum(r.real**2 + r.imag**2))


@pytest.mark.parametrize(
    "method",
    ["levenberg_marquardt", "differential_evolution", "nelder_mead", "simulated_annealing"],
)
@pytest.mark.parametrize(
    ("index", "value", "shown"), [(0, math.nan, "NaN"), (2, -math.inf, "-inf")]
)
def test_non_finite_start_is_refused_naming_the_parameter(method, index, value, shown):
    values = [20.0, 25.0, 4e-5, 100.0, 1e-3]
    values[index] = value
    name = TWO_RC.param_names()[index]
    with pytest.raises(ValueError, match=f"^starting value of {name} must be finite, got {shown}$"):
        TWO_RC.with_values(values).fit(F, TWO_RC_Z, method=method, guess_init=False)


@pytest.mark.parametrize(("bad", "shown"), [(math.nan, "NaN"), (math.inf, "inf")])
def test_non_finite_network_guess_is_refused(tmp_path, bad, shown):
    circuit = Circuit("R0-(R1,C1)")
    metadata, tensors = random_guesser("R0-(R1,C1)", Circuit("rc").param_names(), 16, seed=3)
    mean, encoding = tensors["target_mean"]
    mean = mean.copy()
    mean[1] = bad
    tensors["target_mean"] = (mean, encoding)
    path = str(tmp_path / "damaged.eisnn")
    write_eisnn(path, metadata, tensors)
    z = circuit.with_values([10, 100, 1e-5]).impedance(F)
    message = (
        f"^the network's guess for R1.r is not finite \\({shown}\\); the weight file may be damaged"
    )
    with pytest.raises(ValueError, match=message):
        circuit.fit(F, z, weights=path)


@pytest.mark.parametrize(
    ("index", "f", "z", "why"),
    [
        (5, 0.0, None, "its frequency 0.0 Hz is not a positive finite number"),
        (0, -3.0, None, "its frequency -3.0 Hz is not a positive finite number"),
        (39, math.nan, None, "its frequency NaN Hz is not a positive finite number"),
        (7, None, 0j, "its impedance is 0 ohm"),
        (12, None, complex(math.nan, -1.0), "its impedance NaN-1.0j ohm is not finite"),
        (0, 1e308, None, "its frequency 1e308 Hz is too large (2 pi f overflows)"),
        (
            3,
            None,
            complex(1.5e308, -1.5e308),
            "its impedance 1.5e308-1.5e308j ohm is too large (|Z| overflows)",
        ),
    ],
)
def test_guess_and_fit_name_the_point_the_network_cannot_read(index, f, z, why):
    freqs = F.copy()
    spectrum = Circuit("rc").with_values([10, 100, 1e-5]).impedance(F)
    if f is not None:
        freqs[index] = f
    if z is not None:
        spectrum[index] = z
    message = f"^cannot guess from point {index}: {re.escape(why)}$"
    with pytest.raises(ValueError, match=message):
        Circuit("rc").guess(freqs, spectrum)
    with pytest.raises(ValueError, match=message):
        Circuit("rc").fit(freqs, spectrum)


METHODS = {
    "levenberg_marquardt": {},
    "particle_swarm": {"num_particles": 30, "generations": 40, "seed": 1},
    "nelder_mead": {"nelder_mead_iterations": 300},
    "differential_evolution": {"de_evaluations": 2000},
    "simulated_annealing": {"sa_iterations": 300, "seed": 1},
    "basin_hopping": {"basin_hopping_hops": 2, "seed": 1},
}


EVERY = "every resistance starts at or below its lower bound, from where no fit can move it: "
ANY = "a start at or below the lower bound leaves a parameter where no fit can move it: "


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize(
    ("start", "message"),
    [
        ([0.0] * 4, EVERY + "R0.r = 0.0, R1.r = 0.0"),
        ([0.0, -1.0, 0.5, 0.85], EVERY + "R0.r = 0.0, R1.r = -1.0"),
        (
            [0.05, 1e-12, 0.5, 0.85],
            ANY + "R1.r = 1e-12; start it at a value of the size it should have",
        ),
    ],
    ids=["all-zero", "resistances-zero", "one-at-its-floor"],
)
def test_a_start_a_fit_cannot_move_is_refused(method, start, message):
    circuit = Circuit("R0-(R1,CPE1)")
    freqs = np.logspace(4, -2, 30)
    z = circuit.with_values([0.02, 0.05, 0.5, 0.85]).impedance(freqs)
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        circuit.with_values(start).fit(freqs, z, method=method, **METHODS[method])


def test_fit_ending_above_its_start_is_not_a_success():
    # A random start from which the multi-start settles on a converged run
    # that is worse than the start itself.
    start = [
        8.048335070931628e-12,
        14.359754620021151,
        7.679756377872863e-12,
        36010.23749684351,
        0.011143788178156264,
    ]
    result = TWO_RC.with_values(start).fit(F, TWO_RC_Z, guess_init=False)
    assert result.cost > start_cost(TWO_RC, start, F, TWO_RC_Z)
    assert not result.success


@pytest.mark.parametrize("notation", ["R0-R1", "R0-R1-(R2,C2)", "R0-(R1-R2,C1)", "(R0,R1)"])
def test_standard_errors_are_never_negative_zero_or_nan(notation):
    circuit = Circuit(notation)
    n = len(circuit.param_names())
    rng = np.random.default_rng(5)
    for _ in range(6):
        truth = list(10 ** rng.uniform(-5, 2, n))
        z = circuit.with_values(truth).impedance(F)
        for start in (truth, list(10 ** rng.uniform(-5, 2, n))):
            stderr = circuit.with_values(start).fit(F, z, guess_init=False).stderr or {}
            for name, value in stderr.items():
                assert value >= 0 and math.copysign(1.0, value) > 0, (notation, name, value)


# The swarm and the population are drawn around the start and may lose it;
# then they must not claim success. Rounding can end a fit a few ulps above its start;
# that is no failure.
@pytest.mark.parametrize(
    "method",
    ["levenberg_marquardt", "basin_hopping", "nelder_mead", "simulated_annealing"]
    + ["particle_swarm", "differential_evolution"],
)
def test_fit_started_at_its_optimum_succeeds_exactly_when_it_keeps_it(method):
    keeps_start = method not in ("particle_swarm", "differential_evolution")
    optimum = TWO_RC.with_values([20.0, 25.0, 4e-5, 100.0, 1e-3]).fit(F, TWO_RC_Z, guess_init=False)
    for seed in range(4):
        refit = TWO_RC.with_values(list(optimum.params.values())).fit(
            F, TWO_RC_Z, method=method, guess_init=False, seed=seed
        )
        kept = refit.cost <= optimum.cost * (1 + 1e-9)
        assert refit.success == kept
        assert kept or not keeps_start


@pytest.mark.parametrize(
    "start", [[20.0, 25.0, 4e-5, 100.0, 1e-3], [12.0, 80.0, 2e-5, 800.0, 2e-2]]
)
def test_runs_that_spend_their_whole_budget_are_not_a_success(start):
    # One evaluation per parameter and one more per run: every start runs out of patience.
    z = TWO_RC.with_values([10, 100, 1e-5, 1000, 1e-2]).impedance(F)
    starved = TWO_RC.with_values(start).fit(F, z, guess_init=False, max_iterations=1)
    assert not starved.success
    assert TWO_RC.with_values(start).fit(F, z, guess_init=False, max_iterations=2).success
