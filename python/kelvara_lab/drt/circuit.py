"""From a fitted circuit to its DRT.

R parallel to a CPE is a Zarc with tau0 = (R Q)^(1/alpha); R parallel to C, and the K element,
are ideal relaxations: a Dirac line of weight R at tau = RC (tau_k). A custom element in series
has no closed form here: its DRT is the Tikhonov DRT of its own noise-free impedance at the
fitted values, two decades beyond `tau` either side (an element that no sum of relaxations
reproduces to 1 % of its largest |Z| is refused).
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvara_lab.circuit import notation
from kelvara_lab.circuit.model import EngineCircuit
from kelvara_lab.drt.misfit import DrtMisfitWarning
from kelvara_lab.drt.peaks import zarc_gamma
from kelvara_lab.drt.tikhonov import drt

if TYPE_CHECKING:
    from kelvara_lab.fitting.report import FitReport

FloatArray = npt.NDArray[np.float64]

# A CPE or Zarc exponent this close to 1 is an ideal relaxation.
_IDEAL = 1 - 1e-9
# How closely a custom element's DRT must reproduce its impedance (fraction of |Z|).
_CUSTOM_MISFIT = 0.01


def _custom_drt(report: FitReport, label: str, t: FloatArray) -> tuple[FloatArray, float]:
    """A series custom element's gamma at `t` and its high-frequency resistance."""
    definition = next(e for e in report.elements if label.rstrip("0123456789") == e.code)
    report.fitted_circuit()  # defines the report's custom elements in this process
    values = [report.params[f"{label}.{p.name}"] for p in definition.parameters]
    lo, hi = math.log10(t.min()) - 2, math.log10(t.max()) + 2
    f = 1 / (2 * math.pi * np.logspace(lo, hi, max(10, round((hi - lo) * 20) + 1)))
    z = EngineCircuit(label, values).impedance(f)
    if not np.isfinite(z).all():
        raise ValueError(f"drt_of: {label} is not finite over the DRT's range")
    # The element alone, no end terms chosen for it: its own relaxations or nothing.
    # Its misfit is judged here, against this element's own bar, not the spectrum's warning.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DrtMisfitWarning)
        found = drt(
            (f, z), lambda_=1e-8, check=False, weighting="modulus", inductance=False, tail=None
        )
    misfit = float(np.max(np.abs(found.impedance(f) - z)) / np.max(np.abs(z)))
    if misfit > _CUSTOM_MISFIT:
        raise ValueError(
            f"drt_of: {label} is no sum of relaxations over this range (its DRT misses its "
            f"impedance by {100 * misfit:.2g} % of its largest |Z|)"
        )
    order = np.argsort(found.tau)
    gamma = np.interp(np.log(t), np.log(found.tau[order]), found.gamma[order], left=0, right=0)
    return gamma, float(found.r_inf)


@dataclass(frozen=True)
class CircuitDrt:
    """The DRT of a fitted circuit: a continuous part sampled at `tau`, ideal relaxations as
    `lines` (columns tau, r), and the series terms."""

    tau: FloatArray
    gamma: FloatArray
    lines: pd.DataFrame
    r_inf: float
    inductance: float


def drt_of(report: FitReport, tau: Any = None) -> CircuitDrt:
    """The analytic DRT of a fitted circuit made of R and L in series with R-C and R-CPE
    pairs and K and Zarc elements (and series custom elements, numerically: see above).
    `tau` (s) defaults to the measured range, 20 per decade."""
    values = report.params
    if tau is None:
        f = report.frequencies
        if f.size == 0:
            raise ValueError("the report holds no frequencies; pass tau")
        lo, hi = -math.log10(2 * math.pi * f.max()) - 1, -math.log10(2 * math.pi * f.min()) + 1
        tau = np.logspace(lo, hi, max(2, round((hi - lo) * 20) + 1))
    t = np.asarray(tau, dtype=float).ravel()
    gamma = np.zeros_like(t)
    lines: list[tuple[float, float]] = []
    r_inf = inductance = 0.0

    def field(element: notation.Element, name: str) -> float:
        key = f"{element.label}.{name}"
        if key not in values:
            raise ValueError(f"drt_of: {element.label!r} is not an element of {report.circuit!r}")
        return float(values[key])

    def relaxation(r: float, tau0: float, alpha: float) -> None:
        nonlocal gamma
        if alpha >= _IDEAL:
            lines.append((tau0, r))
        else:
            gamma = gamma + zarc_gamma(np.log(t / tau0), r, alpha)

    for term in notation.read(report.circuit).items:
        if isinstance(term, notation.Element):
            if term.kind == "R":
                r_inf += field(term, "r")
            elif term.kind == "L":
                inductance += field(term, "l")
            elif term.kind == "K":
                lines.append((field(term, "tau_k"), field(term, "r")))
            elif term.kind == "Zarc":
                relaxation(field(term, "r"), field(term, "tau_k"), field(term, "gamma"))
            elif term.kind in {e.code for e in report.elements}:
                part, r_high = _custom_drt(report, term.label, t)
                gamma, r_inf = gamma + part, r_inf + r_high
            else:
                raise ValueError(
                    f"drt_of: a series {term.kind} element has no DRT ({term.label!r})"
                )
            continue
        pair = {
            branch.items[0].kind: branch.items[0]
            for branch in term.branches
            if len(branch.items) == 1 and isinstance(branch.items[0], notation.Element)
        }
        if (
            len(term.branches) != 2
            or len(pair) != 2
            or "R" not in pair
            or not {"C", "Cpe"} & set(pair)
        ):
            raise ValueError(
                f"drt_of: only R-C and R-CPE pairs have a DRT here, not {notation.text(term)!r}"
            )
        r = field(pair["R"], "r")
        if "C" in pair:
            lines.append((r * field(pair["C"], "c"), r))
        else:
            q, alpha = field(pair["Cpe"], "q"), field(pair["Cpe"], "alpha")
            relaxation(r, (r * q) ** (1 / alpha), alpha)
    table = pd.DataFrame(lines, columns=["tau", "r"], dtype=float)
    return CircuitDrt(t, gamma, table.sort_values("tau", ignore_index=True), r_inf, inductance)
