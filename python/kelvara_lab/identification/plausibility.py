"""Would an analyst sign this fitted circuit? The rules, in the order they are checked; the
first one a fit breaks is reported beside it, and a circuit that breaks one never ranks above
one that keeps them all.

1. *A series resistance*: where the spectrum's highest frequencies keep a real part (a cell's
   electrolyte and contacts), the circuit keeps one too at high frequency; a circuit whose real
   part vanishes there draws the series resistance with an arc it does not have.
2. *An inductor only where the high-frequency end asks for one*: inductive points at the top
   of the window, or a window reaching ``pruning.INDUCTOR_HZ`` where a cell's wiring shows.
3. *No collapsed element*: no parameter sits on its bound or on the catalogue's floor (a
   capacitor at 1e-12 F, a Warburg at 1e-12): the element does nothing, and the same circuit
   without it is the one to rank.
4. *CPE exponents in a physical range* (``ALPHA_RANGE``): far below it a CPE is no interface,
   only a free curve; a CPE in series at about 0.5 (``WARBURG_LIKE``) is doing a Warburg's job.
5. *No undetermined parameter*: each parameter's standard error is below its value; one the
   data do not determine is no evidence for the circuit.

Rules 1 and 2 read the circuit's structure against the spectrum's features; 3 to 5 read the
fit (its verdict, its values).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Literal

from kelvara_lab.circuit.notation import Element, read
from kelvara_lab.fitting.report import FitReport
from kelvara_lab.identification.candidates import PARALLEL, Node
from kelvara_lab.identification.pruning import Features

# Depressed arcs of measured cells reach exponents near 0.3 (porous and mixed-conducting
# electrodes); far below that a CPE is a free curve, above 1 no CPE.
ALPHA_RANGE = (0.3, 1.0)
# A CPE in the series chain with an exponent in this range is a semi-infinite Warburg.
WARBURG_LIKE = (0.45, 0.55)

HfReal = Literal["zero", "finite", "open"]


def hf_real_part(node: Node) -> HfReal:
    """The real part of the circuit's impedance at high frequency: *finite* (a resistance
    remains), *zero* (a capacitive or diffusive element shunts it, or only an inductor is
    left) or *open* (an inductor alone, whose real part is nothing and which blocks a
    parallel branch)."""
    if node.is_leaf:
        return "finite" if node.op == "R" else ("open" if node.op in ("L", "La") else "zero")
    parts = {hf_real_part(child) for child in node.children}
    if node.op == PARALLEL:
        return "zero" if "zero" in parts else ("finite" if "finite" in parts else "open")
    return "finite" if "finite" in parts else "zero"


def _no_series_resistance(tree: Node, report: FitReport | None, found: Features) -> str | None:
    if found.series_resistance and hf_real_part(tree) != "finite":
        return "no series resistance"
    return None


def _collapsed(tree: Node, report: FitReport | None, found: Features) -> str | None:
    if report is not None and report.verdict is not None and report.verdict.at_bound:
        return "collapsed: " + ", ".join(report.verdict.at_bound)
    return None


def _alpha(tree: Node, report: FitReport | None, found: Features) -> str | None:
    if report is None:
        return None
    low, high = ALPHA_RANGE
    exponents = {
        name.removesuffix(".alpha"): value
        for name, value in zip(report.names, report.values, strict=True)
        if name.startswith("CPE") and name.endswith(".alpha")
    }
    odd = [f"{label} {value:.2f}" for label, value in exponents.items() if not low <= value <= high]
    if odd:
        return f"CPE exponent outside {low:g}-{high:g}: " + ", ".join(odd)
    # Labels in reading order: the series chain's own CPEs are the ones outside any group.
    series_labels = set(_series_cpe_labels(report.circuit))
    wlow, whigh = WARBURG_LIKE
    like = [
        label
        for label, value in exponents.items()
        if label in series_labels and wlow <= value <= whigh
    ]
    return f"a Warburg's job: {', '.join(like)} in series at about 0.5" if like else None


def _series_cpe_labels(circuit: str) -> list[str]:
    """Labels of the CPEs standing in a circuit's top-level series chain."""
    labels = []
    for part in read(circuit).items:
        if isinstance(part, Element) and part.kind.upper() == "CPE":
            labels.append(part.label)
    return labels


def _undetermined(tree: Node, report: FitReport | None, found: Features) -> str | None:
    if report is not None and report.verdict is not None and report.verdict.undetermined:
        return "undetermined: " + ", ".join(report.verdict.undetermined)
    return None


def _inductor_unasked(tree: Node, report: FitReport | None, found: Features) -> str | None:
    if "L" in tree.leaves() and not found.inductor_allowed:
        return "an inductor the high frequencies do not ask for"
    return None


Rule = Callable[[Node, "FitReport | None", Features], "str | None"]
RULES: tuple[Rule, ...] = (
    _no_series_resistance,
    _inductor_unasked,
    _collapsed,
    _alpha,
    _undetermined,
)


def broken_rule(tree: Node, report: FitReport | None, found: Features) -> str:
    """The first rule the fitted circuit breaks, in words; empty where it keeps them all (a
    circuit with no fit breaks the first rule of all: there is nothing to sign)."""
    if report is None:
        return "no fit"
    for rule in RULES:
        broken = rule(tree, report, found)
        if broken:
            return broken
    return ""
