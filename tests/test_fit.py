"""Circuit.fit(): arguments, start-value policy, FitResult and fit quality."""

import math
import re
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from scipy.optimize import least_squares

from kelvara import Circuit, FitResult, R, Series

FREQS = np.logspace(5, -2, 60)  # 100 kHz down to 10 mHz

RC = Circuit("R0-(R1,C1)")
RC_TRUTH = [10.0, 50.0, 2e-5]
RC_Z = RC.with_values(RC_TRUTH).impedance(FREQS)
RC_START = RC.with_values([20.0, 25.0, 4e-5])

NO_MODEL = Circuit("R0-C1")  # no registered model has this topology
NO_MODEL_Z = NO_MODEL.with_values([3.0, 1e-4]).impedance(FREQS)

MODEL_NAMES = (
    "'rc', 'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', "
    "'randles', 'sei_randles', 'sei_randles_wo'"
)
NO_MODEL_WARNING = (
    "There is no ML model to guess initial parameters for this circuit. Supply your own with "
    "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False "
    "to silence this. Models available for " + MODEL_NAMES
)
NO_TRAINING_DATA = (
    "No training data on this circuit. Machine-learning based initial parameters available for "
    + MODEL_NAMES
)
UNKNOWN_METHOD = "unknown fit method {}, expected one of"
POSITIVE_TOL = "{} must be a positive finite number, got {}"
BAD_WEIGHT = 'unknown weight scheme "Modulus", expected "modulus" or "unit"'


MISSING_FILE = "/nonexistent/model.eisnn"


def exact(message):
    return "^" + re.escape(message) + "$"


def ordered(result, names):
    return [result.params[name] for name in names]


# fmt: off
BAD_ARGUMENTS = {
    "guess_init-int-1": ({"guess_init": 1}, TypeError, "^argument 'guess_init': "),
    "guess_init-int-0": ({"guess_init": 0}, TypeError, "^argument 'guess_init': "),
    "max_iterations-negative": ({"max_iterations": -1}, OverflowError, None),
    "max_iterations-2**32": ({"max_iterations": 2**32}, OverflowError, None),
    "max_iterations-float": ({"max_iterations": 2.0}, TypeError, "^argument 'max_iterations': "),
    "seed-negative": ({"seed": -1}, OverflowError, None),
    "seed-2**64": ({"seed": 2**64}, OverflowError, None),
    "weights-path-object": ({"weights": Path("m.eisnn")}, TypeError, "^argument 'weights': "),
    "weight-int": ({"weight": 1}, TypeError, "^argument 'weight': "),
    "weight-capitalised": ({"weight": "Modulus"}, ValueError, exact(BAD_WEIGHT)),
    "method-unknown": ({"method": "nope"}, ValueError, "^" + UNKNOWN_METHOD.format('"nope"')),
    "method-wrong-case": ({"method": "Levenberg_Marquardt"}, ValueError,
                          "^" + UNKNOWN_METHOD.format('"Levenberg_Marquardt"')),
    "ftol-negative": ({"ftol": -1.0}, ValueError, exact(POSITIVE_TOL.format("ftol", -1.0))),
    "ftol-negative-zero": ({"ftol": -0.0}, ValueError, exact(POSITIVE_TOL.format("ftol", -0.0))),
    "xtol-negative": ({"xtol": -1.0}, ValueError, exact(POSITIVE_TOL.format("xtol", -1.0))),
    "xtol-zero": ({"xtol": 0.0}, ValueError, exact(POSITIVE_TOL.format("xtol", 0.0))),
    "ftol-int-zero": ({"ftol": 0, "xtol": 0}, ValueError, exact(POSITIVE_TOL.format("ftol", 0.0))),
    "ftol-inf": ({"ftol": float("inf")}, ValueError, exact(POSITIVE_TOL.format("ftol", "inf"))),
    "xtol-nan": ({"xtol": float("nan")}, ValueError, exact(POSITIVE_TOL.format("xtol", "NaN"))),
}
# fmt: on


@pytest.mark.parametrize("kwargs, error, match", BAD_ARGUMENTS.values(), ids=list(BAD_ARGUMENTS))
def test_invalid_argument_is_rejected(kwargs, error, match):
    with pytest.raises(error, match=match):
        RC_START.fit(FREQS, RC_Z, **kwargs)


ACCEPTED_ARGUMENTS = {
    "guess_init-numpy-false": {"guess_init": np.bool_(False)},
    "max_iterations-2**32-1": {"max_iterations": 2**32 - 1},
    "seed-2**64-1": {"seed": 2**64 - 1},
    "ftol-tiny": {"ftol": 5e-324, "xtol": 5e-324},
}


@pytest.mark.parametrize("kwargs", ACCEPTED_ARGUMENTS.values(), ids=list(ACCEPTED_ARGUMENTS))
def test_boundary_argument_values_are_accepted(kwargs):
    result = RC_START.fit(FREQS, RC_Z, **kwargs)
    assert ordered(result, RC.param_names()) == pytest.approx(RC_TRUTH, rel=1e-6)


def test_zero_iteration_budget_behaves_as_one():
    zero, one = (RC_START.fit(FREQS, RC_Z, max_iterations=n) for n in (0, 1))
    assert (zero.params, zero.iterations, zero.success) == (one.params, one.iterations, one.success)


# fmt: off
CHECK_ORDER = {
    "length-before-empty": (lambda: RC_START.fit([], [1]), ValueError,
                            exact("frequencies and impedances must have the same length")),
    "no-parameters": (lambda: Series([]).fit(FREQS, RC_Z), ValueError,
                      exact("circuit topology has no parameters to fit")),
    "empty-before-no-parameters": (lambda: Series([]).fit([], []), ValueError,
                                   exact("frequencies and impedances must not be empty")),
    "conversion-before-spectrum": (lambda: RC_START.fit([1.0], [1, 2], guess_init=1),
                                   TypeError, "guess_init"),
    "spectrum-before-weighting": (lambda: RC_START.fit([1.0], [1, 2], weight="Modulus"),
                                  ValueError, "same length"),
    "weighting-before-guess": (lambda: Circuit("rc").fit(FREQS, RC_Z, weight="Modulus"),
                               ValueError, "unknown weight scheme"),
    # Explicit values still guess from a named weight file.
    "guess-before-method": (lambda: RC_START.fit(FREQS, RC_Z, weights=MISSING_FILE,
                                                 method="nope"), ValueError, "^reading weights: "),
    "guess-before-empty-spectrum": (lambda: RC_START.fit([], [], weights=MISSING_FILE),
                                    ValueError, "^reading weights: "),
    "method-before-empty-spectrum": (lambda: RC_START.fit([], [], method="nope"), ValueError,
                                     UNKNOWN_METHOD.format('"nope"')),
    # Asked to guess for a topology no model has: an error, not the warning.
    "no-training-data": (lambda: NO_MODEL.fit(FREQS, NO_MODEL_Z, guess_init=True), ValueError,
                         exact(NO_TRAINING_DATA)),
}
# fmt: on


@pytest.mark.parametrize("call, error, match", CHECK_ORDER.values(), ids=list(CHECK_ORDER))
def test_errors_are_reported_in_processing_order(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_unmodelled_topology_warns_once_and_fits_from_placeholders():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warned = NO_MODEL.fit(FREQS, NO_MODEL_Z)
    assert [(w.category, str(w.message)) for w in caught] == [(UserWarning, NO_MODEL_WARNING)]
    assert caught[0].filename == __file__  # attributed to the caller's line
    silent = NO_MODEL.fit(FREQS, NO_MODEL_Z, guess_init=False)  # an unexpected warning raises
    assert (warned.params, warned.iterations) == (silent.params, silent.iterations)
    assert ordered(warned, NO_MODEL.param_names()) == pytest.approx([3.0, 1e-4], rel=1e-9)
    assert NO_MODEL.param_values() == Circuit("R0-C1").param_values()
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the warning honours the error filter
        with pytest.raises(UserWarning, match=exact(NO_MODEL_WARNING)):
            NO_MODEL.fit(FREQS, NO_MODEL_Z)


@pytest.mark.parametrize(
    "freqs, kwargs, match",
    [
        (FREQS, {"method": "nope"}, UNKNOWN_METHOD.format('"nope"')),
        ([], {}, "must not be empty"),
    ],
    ids=["unknown-method", "empty-spectrum"],
)
def test_missing_model_warning_precedes_driver_errors(freqs, kwargs, match):
    with pytest.warns(UserWarning, match=exact(NO_MODEL_WARNING)):
        with pytest.raises(ValueError, match=match):
            NO_MODEL.fit(freqs, NO_MODEL_Z[: len(freqs)], **kwargs)


def assert_fit_starts_from_guess(circuit, **kwargs):
    """The fit either starts from circuit.guess() or fails as that guess fails
    (a build may lack a network)."""
    try:
        start = circuit.guess(FREQS, RC_Z)
    except ValueError as e:
        with pytest.raises(ValueError, match=exact(str(e))):
            circuit.fit(FREQS, RC_Z, **kwargs)
        return
    expected = circuit.with_values(start).fit(FREQS, RC_Z)
    assert circuit.fit(FREQS, RC_Z, **kwargs).params == expected.params


# Which model each topology reaches is checked in C++; here, that fit asks for it:
# by default for a registry topology, on request for explicit values.
@pytest.mark.parametrize(
    "circuit, kwargs",
    [(Circuit(text), {}) for text in ["rc", "(R1,C2)-R3", "R0-K1-K2"]]
    + [(RC_START, {"guess_init": flag}) for flag in [True, np.bool_(True)]],
    ids=["rc", "(R1,C2)-R3", "R0-K1-K2", "explicit-bool", "explicit-numpy-bool"],
)
def test_fit_starts_from_the_guess(circuit, kwargs):
    assert_fit_starts_from_guess(circuit, **kwargs)


NO_GUESS = {
    "with_values": lambda: Circuit("rc").with_values([20.0, 25.0, 4e-5]),
    "with_named_values": lambda: Circuit("rc").with_named_values(
        {"R0.r": 20.0, "R1.r": 25.0, "C1.c": 4e-5}
    ),
    "series-of-elements": lambda: Series([R(20.0), Circuit("(R1,C1)").with_values([25, 4e-5])]),
    "no-model-with_values": lambda: Circuit("R0-C1-R2").with_values([20.0, 4e-5, 25.0]),
}


@pytest.mark.parametrize("build", NO_GUESS.values(), ids=list(NO_GUESS))
def test_explicit_values_neither_guess_nor_warn(build):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        build().fit(FREQS, RC_Z)
        build().fit(FREQS, RC_Z, weights="/nonexistent", guess_init=False)


def test_refitting_the_fitted_circuit_does_not_guess():
    first = Circuit("rc").fit(FREQS, RC_Z, guess_init=False)
    again = first.circuit.fit(FREQS, RC_Z)
    assert ordered(again, RC.param_names()) == pytest.approx(RC_TRUTH, rel=1e-9)


@pytest.fixture(scope="module")
def rc_result():
    return RC_START.fit(FREQS, RC_Z * (1.02 - 0.01j))  # distorted so cost is not zero


FIELDS = "circuit params stderr success iterations impedance_evals cost chi_square".split()


def test_fit_result_is_read_only_and_hands_out_fresh_dicts(rc_result):
    with pytest.raises(TypeError, match=exact("No constructor defined for FitResult")):
        FitResult()
    for name in FIELDS:
        with pytest.raises(AttributeError):
            setattr(rc_result, name, getattr(rc_result, name))
        with pytest.raises(AttributeError):
            delattr(rc_result, name)
    for name in ["params", "stderr"]:
        first = getattr(rc_result, name)
        assert first is not getattr(rc_result, name)
        del first["R0.r"]
        first["X"] = 1.0
        assert sorted(getattr(rc_result, name)) == sorted(RC.param_names())


def test_fit_result_fields_are_consistent(rc_result):
    fitted = rc_result.circuit
    assert isinstance(fitted, Circuit) and fitted is not rc_result.circuit
    assert fitted.param_names() == RC.param_names()
    assert fitted.param_values() == ordered(rc_result, RC.param_names())
    assert rc_result.chi_square == 2 * rc_result.cost
    residuals = np.array(RC.residuals(fitted.param_values(), FREQS, RC_Z * (1.02 - 0.01j)))
    assert rc_result.cost == pytest.approx(0.5 * np.sum(residuals**2), rel=1e-12)
    assert all(isinstance(v, float) and v > 0 for v in rc_result.stderr.values())
    assert type(rc_result.success) is bool and type(rc_result.iterations) is int
    # Nine candidate costs, the library's own evaluations, one cost per run, 1 + 2P statistics.
    assert rc_result.impedance_evals >= 9 + rc_result.iterations + 1 + 1 + 2 * 3


# Fits that end where they start, so every shown value is exact; the counts are the run's.
# fmt: off
REPR_CASES = {
    "zero-residual": (Circuit("R0").with_values([5.0]), [5.0, 5.0],
                      'success=true, {}, chi_square=0.000000e0, params={{"R0.r": 5.0}})'),
    "nan-measurement": (Circuit("R0").with_values([5.0]), [5.0, math.nan],
                        'success=false, {}, chi_square=NaN, params={{"R0.r": 5.0}})'),
    "exponent-from-1e16": (Circuit("R0").with_values([1e16]), [1e16, 1e16],
                           'success=true, {}, chi_square=0.000000e0, params={{"R0.r": 1e16}})'),
    # A repeated name shows its last value, as params has it.
    "repeated-name": (Series([Circuit("R0").with_values([3.0]), Circuit("R0").with_values([4.0])]),
                      [7.0, 7.0],
                      'success=true, {}, chi_square=0.000000e0, params={{"R0.r": 4.0}})'),
}
# fmt: on


@pytest.mark.parametrize("circuit, z, shown", REPR_CASES.values(), ids=list(REPR_CASES))
def test_repr_format(circuit, z, shown):
    result = circuit.fit([1.0, 10.0], z)
    counts = f"iterations={result.iterations}, impedance_evals={result.impedance_evals}"
    assert repr(result) == "FitResult(" + shown.format(counts)


@pytest.mark.parametrize(
    "circuit, points, has_stderr",
    [(RC_START, 1, False), (NO_MODEL.with_values([3.0, 1e-4]), 1, False), (RC_START, 2, True)],
    ids=["2N-below-P", "2N-equals-P", "2N-above-P"],
)
def test_stderr_needs_more_residuals_than_parameters(circuit, points, has_stderr):
    result = circuit.fit([100.0, 10.0][:points], [20 - 5j, 30 - 10j][:points])
    assert (result.stderr is not None) == has_stderr
    assert np.isfinite(result.cost) and result.chi_square == 2 * result.cost


def test_repeated_parameter_names_keep_the_last_value():
    doubled = Series([Circuit("R0").with_values([1.0]), Circuit("R0").with_values([2.0])])
    result = doubled.fit([1.0, 10.0], [7.0, 7.0])
    values = result.circuit.param_values()
    assert list(result.params) == ["R0.r"] and result.params["R0.r"] == values[-1]
    assert sum(values) == pytest.approx(7.0, rel=1e-9)


# fmt: off
TRUTHS = {
    "rc": [10.0, 50.0, 2e-5],
    "rc_l": [5e-6, 10.0, 50.0, 2e-5],
    "rq": [10.0, 50.0, 1e-4, 0.8],
    "rq_l": [5e-6, 10.0, 50.0, 1e-4, 0.8],
    "two_rc": [10.0, 50.0, 2e-6, 100.0, 1e-2],
    "two_rc_l": [5e-6, 10.0, 50.0, 2e-6, 100.0, 1e-2],
    "two_rq": [10.0, 50.0, 1e-5, 0.85, 100.0, 5e-3, 0.75],
    "two_rq_l": [5e-6, 10.0, 50.0, 1e-5, 0.85, 100.0, 5e-3, 0.75],
    "randles": [10.0, 50.0, 20.0, 1e-5, 0.9],
    "sei_randles": [10.0, 20.0, 1e-6, 0.9, 50.0, 15.0, 1e-4, 0.8],
    "sei_randles_wo": [10.0, 20.0, 1e-6, 0.9, 50.0, 30.0, 2.0, 1e-4, 0.8],
}
# fmt: on


def start_from(circuit, truth, factors):
    # Open-bound values scale by the factors; exponents (bounded by 1) move down a fifth.
    return [
        t * factors[i % len(factors)] if hi == np.inf else t * 0.8
        for i, (t, (_, hi)) in enumerate(zip(truth, circuit.param_bounds(), strict=True))
    ]


@pytest.mark.parametrize("factors", [[3.0], [0.4, 2.5]], ids=["all-above", "alternating"])
@pytest.mark.parametrize("key", Circuit.ml_circuits())
def test_registry_circuit_recovers_noise_free_parameters(key, factors):
    circuit, truth = Circuit(key), TRUTHS[key]
    z = circuit.with_values(truth).impedance(FREQS)
    result = circuit.with_values(start_from(circuit, truth, factors)).fit(FREQS, z)
    assert result.success
    assert ordered(result, circuit.param_names()) == pytest.approx(truth, rel=1e-3)


def noisy(circuit, truth, seed=7):
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal(FREQS.size) + 1j * rng.standard_normal(FREQS.size)
    return circuit.with_values(truth).impedance(FREQS) * (1 + 0.005 * noise)


TIGHT_LM = {"method": "lm", "x_scale": "jac", "ftol": 1e-15, "xtol": 1e-15, "gtol": 1e-15}


@pytest.mark.parametrize("key", ["rq", "randles"], ids=["R0-(R1,CPE1)", "R0-(R1-W1,CPE1)"])
def test_noisy_fit_matches_scipy_minimum_and_stderr(key):
    circuit = Circuit(key)
    names = circuit.param_names()
    z = noisy(circuit, TRUTHS[key])
    start = start_from(circuit, TRUTHS[key], [2.0])
    result = circuit.with_values(start).fit(FREQS, z)
    reference = least_squares(
        lambda p: circuit.residuals(p, FREQS, z),
        start,
        jac=lambda p: np.array(circuit.jacobian(p, FREQS, z)),
        **TIGHT_LM,
    )
    assert result.success and reference.success
    assert result.cost == pytest.approx(reference.cost, rel=1e-6)
    assert ordered(result, names) == pytest.approx(reference.x, rel=1e-4)
    jac = np.array(circuit.jacobian(reference.x, FREQS, z))
    scale = 2 * reference.cost / (jac.shape[0] - jac.shape[1])
    expected = np.sqrt(np.diag(np.linalg.inv(jac.T @ jac)) * scale)
    assert [result.stderr[n] for n in names] == pytest.approx(expected, rel=0.03)


def test_dataframe_spectrum_fits_like_two_sequences():
    # Column names and row filtering are covered with residuals; this is the fit's entry.
    # The leading 0 Hz row must be dropped, or the capacitor would make it non-finite.
    z = RC_Z * (1.02 - 0.01j)
    frame = {"Frequency / Hz": [0.0, *FREQS], "Real Impedance / ohm": [1.0, *z.real]}
    frame["Imaginary Impedance / ohm"] = [0.0, *z.imag]
    from_frame = RC_START.fit(pd.DataFrame(frame))
    from_sequences = RC_START.fit(FREQS, z)
    assert from_frame.params == from_sequences.params
    assert from_frame.iterations == from_sequences.iterations
    assert RC_START.param_values() == [20.0, 25.0, 4e-5]  # the caller's circuit is untouched
