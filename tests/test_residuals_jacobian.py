"""Residual vector and Jacobian exposed for external optimisers."""

import math

import numpy as np
import pandas as pd
import pytest

from kelvara import Circuit, Series

TWO_PI = 6.283185307179586
STEP = 6.055454452393343e-06  # cube root of machine epsilon
FREQS = np.logspace(-2, 4, 25)


def _par(*branches):
    return 1 / sum(1 / z for z in branches)


def _wo(s, z0, tau):
    x = np.sqrt(s * tau)
    return z0 / (x * np.tanh(x))


def _t(s, a, b, k_tau, tau):
    beta = np.sqrt(k_tau + s * tau)
    return a / (beta * np.tanh(beta)) + b / (beta * np.sinh(beta))


# Independent NumPy models: text, formula of (s, *params), generating values.
# The T values keep Re(beta) below the tanh cut-off over FREQS.
MODELS = {
    "R0-(R1,C1)": (lambda s, r0, r1, c1: r0 + _par(r1, 1 / (s * c1)), [10.0, 50.0, 2e-5]),
    "R0-(R1-W1,CPE1)": (
        lambda s, r0, r1, aw, q, a: r0 + _par(r1 + aw * (1 - 1j) / np.sqrt(s.imag), 1 / (q * s**a)),
        [5.0, 40.0, 8.0, 1e-4, 0.85],
    ),
    "L0-R0-(R1,Wo1)-T1": (
        lambda s, l0, r0, r1, z0, tau, a, b, k, t: (
            s * l0 + r0 + _par(r1, _wo(s, z0, tau)) + _t(s, a, b, k, t)
        ),
        [2e-6, 3.0, 20.0, 15.0, 0.5, 2.0, 1.5, 3.0, 1e-3],
    ),
}


def model(text, params, freqs=FREQS):
    return MODELS[text][0](1j * np.asarray(freqs) * TWO_PI, *params)


def measured(text):
    # A distorted copy of the model keeps every residual away from zero.
    return model(text, MODELS[text][1]) * (1.05 - 0.03j)


def reference_residuals(text, params, z, weight):
    diff = (model(text, params) - z) / (np.abs(z) if weight == "modulus" else 1.0)
    return np.column_stack([diff.real, diff.imag]).ravel()


def reference_jacobian(text, params, z, weight):
    columns = []
    for j, p in enumerate(params):
        h = STEP * max(abs(p), 1e-8)
        up, down = list(params), list(params)
        up[j] += h
        down[j] -= h
        diff = reference_residuals(text, up, z, weight) - reference_residuals(text, down, z, weight)
        columns.append(diff / (h + h))
    return np.array(columns).T


def assert_columns_close(got, expected, rtol):
    # Columns differ in scale by many decades, so each gets its own floor.
    for j in range(expected.shape[1]):
        floor = rtol * np.abs(expected[:, j]).max()
        np.testing.assert_allclose(got[:, j], expected[:, j], rtol=rtol, atol=floor)


@pytest.mark.parametrize("weight", ["unit", "modulus"])
@pytest.mark.parametrize("text", list(MODELS))
def test_residuals_match_reference(text, weight):
    params, z = MODELS[text][1], measured(text)
    got = Circuit(text).residuals(params, FREQS, z, weight=weight)
    assert type(got) is list and len(got) == 2 * len(FREQS)
    np.testing.assert_allclose(got, reference_residuals(text, params, z, weight), rtol=1e-10)


@pytest.mark.parametrize("weight", ["unit", "modulus"])
@pytest.mark.parametrize("text", list(MODELS))
def test_jacobian_matches_central_difference(text, weight):
    params, z = MODELS[text][1], measured(text)
    got = Circuit(text).jacobian(params, FREQS, z, weight=weight)
    assert type(got) is list and len(got) == 2 * len(FREQS)
    assert all(type(row) is list and len(row) == len(params) for row in got)
    assert_columns_close(np.array(got), reference_jacobian(text, params, z, weight), rtol=1e-7)


def test_default_weight_is_modulus_and_arguments_take_keywords():
    circuit = Circuit("R0-(R1,C1)").with_values([1.0, 2.0, 3e-3])
    params, z = MODELS["R0-(R1,C1)"][1], measured("R0-(R1,C1)")
    by_keyword = circuit.residuals(params=params, frequencies=FREQS, impedances=z)
    assert by_keyword == circuit.residuals(params, FREQS, z, "modulus")
    assert circuit.jacobian(params, FREQS, z) == circuit.jacobian(
        params=params, frequencies=FREQS, impedances=z, weight="modulus"
    )
    assert circuit.param_values() == [1.0, 2.0, 3e-3]  # the stored values are untouched


def test_zero_measured_impedance_is_weighted_by_the_floor():
    r = Circuit("R0").residuals([2.0], [1.0, 2.0], [0.0, 4 + 3j], weight="modulus")
    # The floor divides, it does not replace the residual: 2 / 1e-30, finite.
    assert r == [2.0 / 1e-30, 0.0, (2.0 - 4.0) / 5.0, -3.0 / 5.0]


@pytest.mark.parametrize("method", ["residuals", "jacobian"])
@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"weight": "Modulus"}, ValueError,
         r'^unknown weight scheme "Modulus", expected "modulus" or "unit"$'),
        ({"weight": ""}, ValueError, r'^unknown weight scheme "", expected'),
        ({"weight": 5}, TypeError, r"^argument 'weight': "),
        ({"weight": b"unit"}, TypeError, r"^argument 'weight': "),
        ({"params": "123"}, TypeError, r"^argument 'params': "),
        ({"params": [1.0, "2", 3.0]}, TypeError, r"^argument 'params': "),
        ({"params": 1.0}, TypeError, r"^argument 'params': "),
        ({"params": [1.0, 2.0]}, ValueError,
         r"^this circuit has 3 parameters, but params holds 2 values$"),
        ({"params": []}, ValueError, r"^this circuit has 3 parameters, but params holds 0 values$"),
    ],
    ids=["capital-M", "empty-name", "int-weight", "bytes-weight", "str-params",
         "str-item", "scalar-params", "short-params", "no-params"],
)  # fmt: skip
def test_bad_arguments_raise_and_leave_the_circuit_alone(method, kwargs, error, message):
    circuit = Circuit("R0-(R1,C1)")
    before = circuit.param_values()
    call = {"params": [1.0, 2.0, 3e-3], "frequencies": [1.0], "impedances": [1.0], **kwargs}
    with pytest.raises(error, match=message):
        getattr(circuit, method)(**call)
    assert circuit.param_values() == before


def test_extra_params_are_ignored_and_have_zero_columns():
    circuit, params, z = Circuit("R0-(R1,C1)"), MODELS["R0-(R1,C1)"][1], measured("R0-(R1,C1)")
    long = [*params, 7.0, -1e6, 0.0]
    assert circuit.residuals(long, FREQS, z) == circuit.residuals(params, FREQS, z)
    rows = circuit.jacobian(long, FREQS, z)
    assert [row[:3] for row in rows] == circuit.jacobian(params, FREQS, z)
    assert all(row[3:] == [0.0, 0.0, 0.0] for row in rows)


def test_circuit_without_parameters():
    empty = Series([])
    assert empty.jacobian([], [1.0, 2.0], [3.0, 4j]) == []
    assert empty.residuals([], [1.0, 2.0], [3.0, 4j], weight="unit") == [-3.0, 0.0, 0.0, -4.0]


def test_jacobian_reads_frames_like_residuals():
    # Which rows a frame keeps is checked through residuals in test_spectrum_input.
    circuit, params = Circuit("R0-(R1,C1)"), MODELS["R0-(R1,C1)"][1]
    frame = pd.DataFrame(
        {"Frequency / Hz": [0.0, 10.0, -1.0, 100.0, math.nan], "Real Impedance / ohm": [1.0] * 5}
        | {"Imaginary Impedance / ohm": [-1.0] * 5}
    )
    expected = circuit.jacobian(params, [10.0, 100.0], [1 - 1j, 1 - 1j])
    assert circuit.jacobian(params, frame) == expected
