"""From a DRT to the circuit an analyst would try first, with start values.

The circuit follows the DRT's ends model and its arcs, from short tau to long:

- L0 when the high-frequency end is inductive, R0 always;
- one arc per peak: (Rk,Ck) for a nearly ideal relaxation (alpha >= ``_IDEAL_ALPHA``), else
  (Rk,CPEk). A Zarc R / (1 + (j w tau)^alpha) is R in parallel with a CPE of
  Q = tau^alpha / R and the same alpha (C = tau / R when alpha = 1);
- the low-frequency term 1 / (Q (j w)^n), n read from the tail: a Warburg W (n near 1/2,
  aw = 1 / (Q sqrt 2), since 1/sqrt(j w) = (1 - j) / sqrt(2 w)), a capacitance C (n near 1,
  c = Q) for a blocking end, a CPE between them.

The start values are the fit of the peaks and ends to the measured impedance (`refine`),
named as ``kelvara.Circuit(notation).param_names()`` names them, ready for
``kl.fit(notation, data, start=...)``.
"""

from __future__ import annotations

import math
from typing import Protocol

from kelvara_lab.drt.ends import tail_kind
from kelvara_lab.drt.refine import Refined

#: an arc at least this ideal is written (R, C)
_IDEAL_ALPHA = 0.97
_TINY = 1e-12


class Distribution(Protocol):
    """What a suggestion reads of a DRT: the fit of its peaks and ends."""

    @property
    def refined(self) -> Refined: ...


def suggest_circuit(result: Distribution) -> tuple[str, dict[str, float]]:
    """Notation and start values of the circuit the DRT suggests (module text)."""
    refined = result.refined
    parts, start = [], {}
    if refined.inductance is not None:
        parts.append("L0")
        start["L0.l"] = max(refined.inductance, _TINY)
    parts.append("R0")
    start["R0.r"] = max(refined.r_inf, _TINY)
    shapes = sorted(refined.shapes, key=lambda shape: shape.tau)
    for k, shape in enumerate(shapes, start=1):
        r = max(shape.r, _TINY)
        start[f"R{k}.r"] = r
        if shape.alpha >= _IDEAL_ALPHA:
            parts.append(f"(R{k},C{k})")
            start[f"C{k}.c"] = shape.tau / r
        else:
            parts.append(f"(R{k},CPE{k})")
            start[f"CPE{k}.q"] = shape.tau**shape.alpha / r
            start[f"CPE{k}.alpha"] = shape.alpha
    if refined.tail is not None:
        q, exponent = refined.tail
        k = len(shapes) + 1
        kind = tail_kind(exponent)
        parts.append(f"{kind}{k}")
        if kind == "W":
            start[f"W{k}.aw"] = 1 / (max(q, _TINY) * math.sqrt(2))
        elif kind == "C":
            start[f"C{k}.c"] = max(q, _TINY)
        else:
            start[f"CPE{k}.q"] = max(q, _TINY)
            start[f"CPE{k}.alpha"] = exponent
    return "-".join(parts), start
