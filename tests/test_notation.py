"""Circuit notation: accepted texts, error reports and named reference circuits."""

import pytest
from support.catalogue import KINDS, REGISTRY

from kelvara import Circuit

TAIL = """syntax:
  - every element needs a numeric label, e.g. "R0" and "C1", not "R" and "C"
  - connect elements in series with '-', e.g. "R0-C1"
  - connect elements in parallel with '(...)' or 'p(...)', e.g. "R0-(R1,C1)" or "R0-p(R1,C1)"

available elements (code, parameters, [units]):
"""
TAIL += "\n".join(
    f"  {kind.code:<5} " + ", ".join(f"{name} [{unit}]" for name, unit, _ in kind.fields)
    for kind in KINDS
)


def report(text):
    with pytest.raises(ValueError) as error:
        Circuit(text)
    return str(error.value)


# fmt: off
REPORTS = {
    "positional": ("R0-X1", 'unknown element code "X" at position 3\n\n  R0-X1\n     ^\n\n'),
    "end_of_input": ("", "unexpected end of input\n\n"),
    "duplicate_label": ("R0-R0", 'duplicate element label "R0"\n\n'),
}
# fmt: on


@pytest.mark.parametrize("text, head", REPORTS.values(), ids=list(REPORTS))
def test_full_error_report(text, head):
    assert report(text) == head + TAIL


TOO_DEEP = "circuit is nested more than 200 parallel groups deep at position {}"
# (text, first line of the report, caret position or None for kinds without an echo)
# fmt: off
MALFORMED = [
    (" R0", "unexpected character at position 0", 0),
    ("R", "unexpected character at position 1", 1),
    ("R-C1", "unexpected character at position 1", 1),
    ("R0--C1", "unexpected character at position 3", 3),
    ("(R1,)", "unexpected character at position 4", 4),
    ("R0-\u20ac1", "unexpected character at position 3", 3),  # three bytes in UTF-8
    ("()", "unexpected character at position 1", 1),
    ("P(R1,C1)", "unexpected character at position 1", 1),
    ("Rµ0", "unexpected character at position 1", 1),
    ("R0 ", "unexpected trailing input at position 2", 2),
    ("R0µ", "unexpected trailing input at position 2", 2),
    ("R0\x00", "unexpected trailing input at position 2", 2),  # NUL once cut the report short
    ("R0-Q1", 'unknown element code "Q" at position 3', 3),
    ("r0", 'unknown element code "r" at position 0', 0),
    ("R0-(R1,TLmq2)", 'unknown element code "TLmq" at position 7', 7),
    ("p0", 'unknown element code "p" at position 0', 0),
    ("R0-", "unexpected end of input", None), ("(R1C1)", "unexpected end of input", None),
    ("(R1µ)", "unexpected end of input", None),
    ("R0-(R1,R0)", 'duplicate element label "R0"', None),
    ("(R1,C1)-(R2,C1)", 'duplicate element label "C1"', None),
    ("C1-(R1,R1)-C1", 'duplicate element label "R1"', None),  # the first repeat in leaf order
    ("R1-R1-X1", 'unknown element code "X" at position 6', 6),  # syntax before duplicates
    # Not reference names, so parsed as typed: no trimming, no case folding.
    (" R0-(R1,C1)", "unexpected character at position 0", 0),
    ("two-rc", "unexpected character at position 3", 3),
    # One group deeper than the limit, counted at the first opening past it.
    ("(" * 201 + "R1" + ")" * 201, TOO_DEEP.format(200), 200),
    ("R0-" + "p(R1," * 201 + "C1" + ")" * 201, TOO_DEEP.format(1003), 1003),
]
# fmt: on


@pytest.mark.parametrize(
    "text, first, position", MALFORMED, ids=[repr(t)[:24] for t, _, _ in MALFORMED]
)
def test_rejects_malformed_notation(text, first, position):
    lines = report(text).split("\n")
    assert lines[0] == first
    if position is None:
        assert lines[1:3] == ["", "syntax:"]
    else:
        # The caret sits under the offending character, counted in characters.
        caret = "  " + " " * position + "^"
        assert lines[1:6] == ["", "  " + text, caret, "", "syntax:"]


# A lone surrogate cannot be UTF-8 (it once escaped as a bare UnicodeEncodeError without the
# report) and shows as U+FFFD; U+D55C, just below the surrogates, is shown as itself.
@pytest.mark.parametrize("char, shown", [("\ud800", "\ufffd"), ("\ud55c", "\ud55c")])
def test_a_character_outside_the_grammar_is_reported_where_it_stands(char, shown):
    lines = report(f"R0-({char},C1)").split("\n")
    assert lines[:5] == [
        "unexpected character at position 4",
        "",
        f"  R0-({shown},C1)",
        "      ^",
        "",
    ]


# fmt: off
WELL_FORMED = [
    ("CPE1-Cpe1", "CPE1.q CPE1.alpha Cpe1.q Cpe1.alpha"),
    ("TLMQ1-Tlmq2", "TLMQ1.r_ion TLMQ1.qs TLMQ1.gamma Tlmq2.r_ion Tlmq2.qs Tlmq2.gamma"),
    ("R1-R01", "R1.r R01.r"), ("p(R1,C1)", "R1.r C1.c"), ("(R1)", "R1.r"),
    ("L0-R0-p(R1-W1,CPE1)", "L0.l R0.r R1.r W1.aw CPE1.q CPE1.alpha"),
    ("((R1,C1),(R2-C2,L3))", "R1.r C1.c R2.r C2.c L3.l"),
]
# fmt: on


@pytest.mark.parametrize("text, names", WELL_FORMED)
def test_accepts_valid_notation(text, names):
    assert Circuit(text).param_names() == names.split()


def test_both_group_forms_are_the_same_parallel_node():
    frequencies = [0.1, 10.0, 1e3]
    expected = Circuit("(R1,C1)").impedance(frequencies).tolist()
    assert Circuit("p(R1,C1)").impedance(frequencies).tolist() == expected


@pytest.mark.parametrize("key", REGISTRY)
def test_reference_name_builds_its_circuit(key):
    reference = Circuit(REGISTRY[key])
    frequencies = [0.1, 10.0, 1e4]
    # Names are matched ignoring ASCII case and surrounding Unicode white space.
    for text in [key, key.upper(), f" {key}\t", f"\u3000{key.title()}\u00a0\n"]:
        circuit = Circuit(text)
        assert circuit.param_names() == reference.param_names()
        assert circuit.param_values() == reference.param_values()
        assert circuit.impedance(frequencies).tolist() == reference.impedance(frequencies).tolist()
