"""Building circuits from element objects and other circuits."""

import math

import numpy as np
import pytest

import kelvara
from kelvara import C, Circuit, Cpe, L, Parallel, R, Series, Tlmq

FREQS = [0.01, 1.0, 100.0, 1e4]


# fmt: off
NAMING = {
    "per_kind_counters": (lambda: Series([R(1), C(2), R(3)]), "R0.r C0.c R1.r"),
    "kind_names": (lambda: Series(parts=[Cpe(1e-3, 0.8), Tlmq(1, 2, 0.5)]),
                   "Cpe0.q Cpe0.alpha Tlmq0.r_ion Tlmq0.qs Tlmq0.gamma"),
    "labels_count_apart": (lambda: Series([R(1), Circuit("R0"), R(2)]), "R0.r R0.r R1.r"),
    "duplicate_labels": (lambda: Series([Circuit("R0"), Circuit("R0")]), "R0.r R0.r"),
    "nested": (lambda: Parallel([Series([R(1), C(2)]), L(3)]), "R0.r C0.c L0.l"),
}
# fmt: on


@pytest.mark.parametrize("build, names", NAMING.values(), ids=list(NAMING))
def test_unlabelled_leaves_are_numbered_per_kind(build, names):
    assert build().param_names() == names.split()


# fmt: off
EQUIVALENTS = {
    "series_splices_flat": (lambda: Series([Circuit("R0-C1").with_values([2, 3e-3]), R(5)]),
                            "R0-C1-R2", [2, 3e-3, 5]),
    "branch_per_part": (lambda: Parallel([Circuit("R0-C1"), R(5)]), "(R0-C1,R2)", [1, 1e-3, 5]),
    "series_of_circuits": (lambda: Series([Circuit("(R1,C1)"), Circuit("W2")]), "(R1,C1)-W2",
                           [1, 1e-3, 1]),
    "parallel_of_elements": (lambda: Parallel([R(2), Cpe(1e-3, 0.8)]), "(R1,CPE1)",
                             [2, 1e-3, 0.8]),
    "nested": (lambda: Series([Parallel([R(2), C(1e-4)]), L(1e-6)]), "(R1,C1)-L2",
               [2, 1e-4, 1e-6]),
    "single_branch": (lambda: Parallel([R(4)]), "(R1)", [4]),
}
# fmt: on


@pytest.mark.parametrize("build, notation, values", EQUIVALENTS.values(), ids=list(EQUIVALENTS))
def test_evaluates_like_the_equivalent_notation(build, notation, values):
    built = build()
    assert built.param_values() == values
    expected = Circuit(notation).with_values(values).impedance(FREQS)
    assert np.array_equal(built.impedance(FREQS), expected)


def test_empty_series_is_a_short_and_empty_parallel_is_nan():
    empty = Series([])
    assert empty.param_names() == [] and repr(empty) == "Circuit (0 parameters)\n"
    assert empty.impedance(FREQS).tolist() == [0j] * len(FREQS)
    assert Parallel([]).param_names() == []
    assert all(math.isnan(z.real) and math.isnan(z.imag) for z in Parallel([]).impedance(FREQS))


NOT_A_SEQUENCE = "^argument 'parts': .*Sequence"
NEITHER_KIND = "(?s)^argument 'parts': (?=.*Element)(?=.*Circuit)"


# fmt: off
BAD_PARTS = {
    "text": ("R0", "^argument 'parts': Can't extract `str` to `Vec`$"),
    "int": (5, NOT_A_SEQUENCE), "element": (R(1), NOT_A_SEQUENCE),
    "iterator": (iter([R(1)]), NOT_A_SEQUENCE), "int_item": ([R(1), 1], NEITHER_KIND),
    "text_item": ([R(1), "R0"], NEITHER_KIND), "class_item": ([R], NEITHER_KIND),
    "none_item": ([None], NEITHER_KIND),
}
# fmt: on


@pytest.mark.parametrize("combine", [Series, Parallel])
@pytest.mark.parametrize("parts, pattern", BAD_PARTS.values(), ids=list(BAD_PARTS))
def test_rejects_parts_that_are_not_elements_or_circuits(combine, parts, pattern):
    with pytest.raises(TypeError, match=pattern):
        combine(parts)


def test_nesting_is_bounded_like_notation():
    # Trees are walked recursively: assembled circuits share the notation's depth limit.
    c = kelvara.R(2.0)
    for _ in range(200):
        c = kelvara.Parallel([c])
    assert c.impedance([1.0]) == pytest.approx([2.0])
    with pytest.raises(ValueError, match="nested more than 200 parallel groups deep"):
        kelvara.Parallel([c])
