"""A fit reports success only when it can be trusted: finite starts, no ending above the
start, options that mean something, standard errors that never claim false certainty."""

import math

import numpy as np
import pytest
from eisnn_format import random_guesser, write_eisnn

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


def test_guess_from_a_non_finite_spectrum_names_the_data():
    z = Circuit("rc").with_values([10, 100, 1e-5]).impedance(F)
    z[5] = complex(math.nan, 0.0)
    with pytest.raises(
        ValueError, match=r"\(NaN\); the spectrum holds non-finite values, or pass guess_init=False"
    ):
        Circuit("rc").fit(F, z)


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
