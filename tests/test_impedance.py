"""Impedance evaluation: element formulas, tree arithmetic and accepted inputs."""

import cmath
import math
import os
import subprocess
import sys

import numpy as np
import pandas as pd
import polars as pl
import pytest

from kelvara import Circuit

TWO_PI = 6.283185307179586
FREQS = np.logspace(-3, 6, 37)


def impedance_at(text, values, omega):
    """One evaluation at angular frequency omega (chosen so f * 2pi == omega)."""
    return Circuit(text).with_values(values).impedance([omega / TWO_PI])[0]


# Independent reference written from the element formulas with cmath; only
# the tanh cut-off (and T's dropped sinh term) change the numbers at 1e-12.
_sqrt = cmath.sqrt


def _tanh(z):
    return complex(math.copysign(1.0, z.real)) if abs(z.real) > 20 else cmath.tanh(z)


def _t(s, a, b, k_tau, tau):
    beta = _sqrt(k_tau + s * tau)
    tail = 0 if abs(beta.real) > 20 else b / (beta * cmath.sinh(beta))
    return a / (beta * _tanh(beta)) + tail


# fmt: off
REFERENCE = {
    "R": lambda s, r: complex(r), "C": lambda s, c: 1 / (s * c), "L": lambda s, l: s * l,
    "La": lambda s, l, alpha: (s * l) ** alpha, "CPE": lambda s, q, alpha: 1 / (q * s**alpha),
    "W": lambda s, aw: aw * (1 - 1j) / math.sqrt(s.imag),
    "Wo": lambda s, z0, tau: z0 / (_sqrt(s * tau) * _tanh(_sqrt(s * tau))),
    "Ws": lambda s, z0, tau: z0 * _tanh(_sqrt(s * tau)) / _sqrt(s * tau),
    "G": lambda s, rg, tg: rg / _sqrt(1 + s * tg),
    "Gs": lambda s, rg, tg, phi: rg / (_sqrt(1 + s * tg) * _tanh(phi * _sqrt(1 + s * tg))),
    "K": lambda s, r, tau_k: r / (1 + s * tau_k),
    "Zarc": lambda s, r, tau_k, gamma: r / (1 + (s * tau_k) ** gamma),
    "TLMQ": lambda s, r_ion, qs, gamma: (
        _sqrt(r_ion / (qs * s**gamma)) / _tanh(_sqrt(r_ion * qs * s**gamma))
    ),
    "T": _t,
}
# Values reach past the tanh cut-off at the top of FREQS wherever it can apply.
CASES = [
    ("R", [2.5]), ("C", [2e-4]), ("L", [3e-5]), ("La", [2e-6, 0.7]), ("CPE", [1e-3, 0.8]),
    ("CPE", [1e-3, 0.5]), ("W", [2.0]), ("Wo", [1.0, 10.0]), ("Ws", [3.0, 0.05]),
    ("G", [1.0, 1.0]), ("Gs", [1.0, 1.0, 0.5]), ("Gs", [2.0, 0.1, 3.0]), ("K", [3.0, 0.01]),
    ("Zarc", [1.5, 0.01, 0.7]), ("TLMQ", [10.0, 1e-3, 0.8]), ("TLMQ", [100.0, 1.0, 0.5]),
    ("T", [1.0, 1.0, 1.0, 1.0]), ("T", [2.0, 0.5, 3.0, 0.01]),
]
# fmt: on


@pytest.mark.parametrize(
    "code, values", CASES, ids=[f"{c}-{'-'.join(map(str, v))}" for c, v in CASES]
)
def test_element_matches_reference_formula(code, values):
    got = Circuit(f"{code}1").with_values(values).impedance(FREQS)
    formula = REFERENCE[code]
    expected = [formula(complex(0.0, float(w)), *values) for w in FREQS * TWO_PI]
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=0)


@pytest.mark.parametrize(
    "exact, general, values",
    [("CPE1", "C1", [2e-4]), ("Zarc1", "K1", [3.0, 0.01]), ("La1", "L1", [3e-5])],
)
def test_unit_exponent_reduces_exactly_to_the_simple_element(exact, general, values):
    z_exact = Circuit(exact).with_values([*values, 1.0]).impedance(FREQS)
    z_general = Circuit(general).with_values(values).impedance(FREQS)
    assert np.array_equal(z_exact, z_general)


_A = math.sqrt(800.1 / 2)  # Ws at omega 800.1: Re x = 20.001, just past the tanh cut-off
_D = _A * _A + _A * _A
# Exact bits: La raises the whole product s*l; past the cut-off Ws is the unscaled reciprocal 1/x.
EXACT = {
    "la-whole-product": ("La1", [2e-6, 0.5], 1.0, 0.001 + 0.001j),
    "ws-tanh-cutoff": ("Ws1", [1.0, 1.0], 800.1, complex(_A / _D, -_A / _D)),
}


@pytest.mark.parametrize("text, values, omega, expected", EXACT.values(), ids=list(EXACT))
def test_exact_values(text, values, omega, expected):
    assert impedance_at(text, values, omega) == expected


@pytest.mark.parametrize(
    "r1, expected",
    [(0.0, math.nan), (math.inf, math.nan), (1e-300, math.nan), (math.nan, math.nan), (1e300, 1.0)],
    ids=["zero", "inf", "underflow", "nan", "huge"],
)
def test_parallel_branch_extremes(r1, expected):
    # No guard in the reciprocal: a degenerate branch poisons the node; a huge one is open.
    z = Circuit("(R0,R1)").with_values([1.0, r1]).impedance([1.0])[0]
    if math.isnan(expected):
        assert math.isnan(z.real) and math.isnan(z.imag)
    else:
        assert z == complex(expected)


@pytest.mark.parametrize("frequencies", [(1, 10, 100), range(1, 9)], ids=["tuple", "range"])
def test_matches_point_by_point_evaluation(frequencies):
    # The serial and threaded paths on either side of their threshold are checked in C++.
    circuit = Circuit("sei_randles_wo")
    z = circuit.impedance(frequencies)
    assert isinstance(z, np.ndarray) and z.ndim == 1 and z.dtype == np.complex128
    assert z.tolist() == [circuit.impedance([float(f)])[0] for f in frequencies]


def test_keeps_empty_zero_and_negative_inputs():
    empty = Circuit("R0").impedance([])
    assert empty.shape == (0,) and empty.dtype == np.complex128
    z = Circuit("R0-C1").impedance([0.0, -1.0])
    assert len(z) == 2 and math.isnan(z[0].real)
    assert z[1] == pytest.approx(1 + 1j / (TWO_PI * 1e-3), rel=1e-14)


FRAMES = {
    "dict_long_name": lambda f: {"Frequency / Hz": f},
    "dict_short_name": lambda f: {"frequency_hertz": f},
    "long_name_first": lambda f: {"Frequency / Hz": f, "frequency_hertz": ["x"]},
    "pandas": lambda f: pd.DataFrame({"Frequency / Hz": f, "x": 0}),
    "polars": lambda f: pl.DataFrame({"frequency_hertz": f, "x": 0}),
}


@pytest.mark.parametrize("frame", FRAMES)
def test_reads_frequency_column_of_a_dataframe(frame):
    # Non-positive rows are kept here; only measured-data input drops them.
    frequencies = [0.0, -2.0, 1.0, 1e3]
    circuit = Circuit("R0-(R1,CPE1)")
    z = circuit.impedance(FRAMES[frame](frequencies))
    assert np.array_equal(z, circuit.impedance(frequencies), equal_nan=True)


NO_COLUMN = (
    'expected a sequence of frequencies, or a dataframe with a "Frequency / Hz" '
    'or "frequency_hertz" column'
)


# fmt: off
UNREADABLE = {
    "long_not_numeric": ({"Frequency / Hz": ["a"], "frequency_hertz": [1.0]},
                         'column "Frequency / Hz" is not numeric'),
    "short_not_numeric": ({"frequency_hertz": [1.0, "b"]},
                          'column "frequency_hertz" is not numeric'),
    "dict_without_column": ({"freq": [1.0]}, NO_COLUMN), "int": (5, NO_COLUMN),
    "text": ("12", NO_COLUMN), "iterator": (iter([1.0]), NO_COLUMN),
    "list_of_text": (["1.0"], NO_COLUMN), "none": (None, NO_COLUMN),
}
# fmt: on


@pytest.mark.parametrize("argument, message", UNREADABLE.values(), ids=list(UNREADABLE))
def test_rejects_unreadable_frequencies(argument, message):
    with pytest.raises(ValueError) as error:
        Circuit("R0").impedance(argument)
    assert str(error.value) == message


SCALAR_CPE = """
import math, sys
import numpy as np
from kelvara import Circuit
q, alpha = 2e-3, 0.83
w = np.logspace(-3, 7, 301) * 2 * math.pi
z = Circuit("CPE0").with_values([q, alpha]).impedance(w / (2 * math.pi))
cos_t, sin_t = math.cos(1.5707963267948966 * alpha), math.sin(1.5707963267948966 * alpha)
for omega, got in zip(w, z):
    m = math.pow(omega, alpha)
    c, d = m * cos_t * q, m * sin_t * q
    n = c * c + d * d
    if got != complex((1.0 * c + 0.0 * d) / n, (0.0 * c - 1.0 * d) / n):
        sys.exit(f"omega {omega}: {got!r}")
"""


POOLED = "import numpy, kelvara; print(len(kelvara.Circuit('R0').impedance(numpy.arange(2000))))"


# KELVARA_SCALAR_MATH=1 (and every processor without AVX2) takes powers point by point
# from the C library: the formula computed step by step. An absurd pool size is capped
# rather than failing every call.
@pytest.mark.parametrize(
    "variable, value, code, out",
    [
        ("KELVARA_SCALAR_MATH", "1", SCALAR_CPE, ""),
        ("RAYON_NUM_THREADS", str(10**12), POOLED, "2000"),
        ("RAYON_RS_NUM_CPUS", str(10**12), POOLED, "2000"),
    ],
    ids=["scalar-math", "pool-threads", "pool-cpus"],
)
def test_environment_switches(variable, value, code, out):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env[variable] = value
    command = [sys.executable, "-c", code]
    run = subprocess.run(command, env=env, capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout.strip()) == (0, out), run.stderr
