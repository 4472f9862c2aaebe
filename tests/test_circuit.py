"""Circuit parameters, rebuilds by position and by name, and repr."""

import math

import numpy as np
import pytest
from support.catalogue import KINDS

from kelvara import Circuit

INF = math.inf
OPEN = (1e-12, INF)

# Every kind once, in catalogue order: (name, unit, default).
CATALOGUE = [
    (f"{kind.code}{n}.{field}", unit, default)
    for n, kind in enumerate(KINDS, 1)
    for field, unit, default in kind.fields
]


def test_catalogue_names_units_defaults_and_bounds():
    circuit = Circuit("-".join(f"{kind.code}{n}" for n, kind in enumerate(KINDS, 1)))
    assert circuit.param_names() == [name for name, _, _ in CATALOGUE]
    assert circuit.param_units() == [unit for _, unit, _ in CATALOGUE]
    assert circuit.param_values() == [value for _, _, value in CATALOGUE]
    # Only exponents are confined to [0, 1]; phi and k_tau are open like the rest.
    exponent = (".alpha", ".gamma")
    expected = [(0.0, 1.0) if n.endswith(exponent) else OPEN for n, _, _ in CATALOGUE]
    assert circuit.param_bounds() == expected
    assert all(type(pair) is tuple for pair in circuit.param_bounds())


def test_rebuilds_return_a_new_circuit():
    original = Circuit("R0-(R1,CPE1)")
    for values in ([2, 3, 4e-4, 0.5], np.array([2.0, 3.0, 4e-4, 0.5])):
        rebuilt = original.with_values(values)
        assert isinstance(rebuilt, Circuit) and rebuilt is not original
        assert rebuilt.param_values() == [2.0, 3.0, 4e-4, 0.5]
        assert rebuilt.param_names() == original.param_names()
    # By name, in any order.
    named = {"CPE1.alpha": 0.5, "CPE1.q": 1e-4, "R1.r": 6, "R0.r": 5}
    assert original.with_named_values(named).param_values() == [5.0, 6.0, 1e-4, 0.5]
    assert original.param_values() == [1.0, 1.0, 0.001, 0.8]


# fmt: off
COUNT_MISMATCHES = [
    ("R0", [], "expected 1 values, got 0"), ("R0-(R1,C1)", [1, 2], "expected 3 values, got 2"),
    ("R0-(R1,C1)", [1, 2, 3, 4], "expected 3 values, got 4"),
]
# fmt: on


@pytest.mark.parametrize("text, values, message", COUNT_MISMATCHES)
def test_with_values_requires_exact_count(text, values, message):
    with pytest.raises(ValueError) as error:
        Circuit(text).with_values(values)
    assert str(error.value) == message


# fmt: off
WRONG_TYPES = {
    "text": ("with_values", "12"), "int": ("with_values", 5),
    "text_items": ("with_values", ["a", "b"]), "pairs": ("with_named_values", [("R0.r", 1.0)]),
    "text_value": ("with_named_values", {"R0.r": "x"}),
}
# fmt: on


@pytest.mark.parametrize("method, values", WRONG_TYPES.values(), ids=list(WRONG_TYPES))
def test_rebuilds_reject_wrong_argument_types(method, values):
    with pytest.raises(TypeError, match="^argument 'values': "):
        getattr(Circuit("R0-R1"), method)(values)


LISTING = (
    "valid parameters for this circuit:\n"
    "  R0.r        [ohm]  bounds (1e-12, inf)\n"
    "  R1.r        [ohm]  bounds (1e-12, inf)\n"
    "  CPE1.q      [ohm^-1*s^alpha]  bounds (1e-12, inf)\n"
    "  CPE1.alpha  [-]  bounds (0, 1)"
)
VALID = {"R0.r": 1.0, "R1.r": 1.0, "CPE1.q": 1e-3, "CPE1.alpha": 0.8}


def named_error(values):
    with pytest.raises(ValueError) as error:
        Circuit("R0-(R1,CPE1)").with_named_values(values)
    return str(error.value)


# fmt: off
NAMED_ERRORS = {
    "every-missing-name": ({}, 'missing parameter(s): ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"]'),
    "unknown-before-missing": ({"R0.r": 1.0, "R1.r": 1.0, "CPE1.q": 1e-3, "CPE1.alpa": 0.8},
                               'unknown parameter "CPE1.alpa" (did you mean "CPE1.alpha"?)\n'
                               'missing parameter(s): ["CPE1.alpha"]'),
}
# fmt: on


@pytest.mark.parametrize("values, head", NAMED_ERRORS.values(), ids=list(NAMED_ERRORS))
def test_with_named_values_reports_unknown_and_missing_names(values, head):
    assert named_error(values) == f"{head}\n\n{LISTING}"


# A suggestion is made within max(2, len(key) // 2) edits, counted in characters;
# on a tie the earlier parameter wins.
# fmt: off
SUGGESTIONS = [
    ("R2.r", '"R2.r"', "R0.r"), ("R0x", '"R0x"', "R0.r"), ("Rxxx", '"Rxxx"', None),
    ("R0.rXXXX", '"R0.rXXXX"', "R0.r"), ("R0.rXXXXX", '"R0.rXXXXX"', None),
    ("R0.rµµµµ", '"R0.rµµµµ"', "R0.r"), ('R0"r', '"R0\\"r"', "R0.r"),
    ("R0.r\n", '"R0.r\\n"', "R0.r"),
]
# fmt: on


@pytest.mark.parametrize(
    "key, quoted, suggestion", SUGGESTIONS, ids=[repr(k) for k, _, _ in SUGGESTIONS]
)
def test_with_named_values_suggests_close_names(key, quoted, suggestion):
    line = f"unknown parameter {quoted}"
    if suggestion:
        line += f' (did you mean "{suggestion}"?)'
    assert named_error({**VALID, key: 1.0}) == f"{line}\n\n{LISTING}"


def test_repr_aligns_names_and_values():
    assert repr(Circuit("R0-(R1,CPE1)")) == (
        "Circuit (4 parameters)\n"
        "  R0.r       = 1          [ohm]  bounds (1e-12, inf)\n"
        "  R1.r       = 1          [ohm]  bounds (1e-12, inf)\n"
        "  CPE1.q     = 0.001      [ohm^-1*s^alpha]  bounds (1e-12, inf)\n"
        "  CPE1.alpha = 0.8        [-]  bounds (0, 1)"
    )


# fmt: off
# Every form is checked in C++; these tell the parameter form from the others.
REPR_VALUES = [
    (1.0, "1"), (1e-6, "1e-6"), (999999.0, "999999"), (1e6, "1e6"), (-1.234567e7, "-1.234567e7"),
    (1.2345678901, "1.2345678901"), (INF, "inf"), (math.nan, "NaN"),
]
# fmt: on


@pytest.mark.parametrize("value, text", REPR_VALUES, ids=[t for _, t in REPR_VALUES])
def test_repr_formats_values(value, text):
    # Values pad to ten characters and are never cut.
    line = f"  R0.r = {text.ljust(10)} [ohm]  bounds (1e-12, inf)"
    assert repr(Circuit("R0").with_values([value])) == "Circuit (1 parameter)\n" + line


def test_constructor_argument_errors():
    assert Circuit(s="R0").param_names() == ["R0.r"]
    for bad in [1, None, b"R0"]:
        with pytest.raises(TypeError, match="^argument 's': "):
            Circuit(bad)
    with pytest.raises(TypeError, match="'s'"):
        Circuit()
