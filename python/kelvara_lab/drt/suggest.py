"""From a DRT to the circuit an analyst would try first, with start values.

The circuit follows the DRT's ends model and its arcs, from short tau to long:

- L0 when the high-frequency end is inductive, R0 always;
- one arc per peak: (Rk,Ck) for a nearly ideal relaxation (alpha >= ``_IDEAL_ALPHA``), else
  (Rk,CPEk). A Zarc R / (1 + (j w tau)^alpha) is R in parallel with a CPE of
  Q = tau^alpha / R and the same alpha (C = tau / R when alpha = 1);
- the low-frequency term 1 / (Q (j w)^n): a Warburg W (aw = 1 / (Q sqrt 2), since
  1/sqrt(j w) = (1 - j) / sqrt(2 w)), a finite Warburg Wo (a 45-degree line that turns
  capacitive, z0 / (x tanh x) with x = sqrt(j w tau)), a CPE, or a capacitance C (c = Q) for
  a blocking end. An analyst tries the ones the tail's exponent allows: each is fitted
  locally to the measured impedance, and the one the exponent names stays unless another
  is clearly better (lower BIC by ``CLEARLY_BETTER``).

The start values are the fit of the peaks and ends to the measured impedance (`refine`),
refined by that last fit, named as ``kelvara.Circuit(notation).param_names()`` names them,
ready for ``kl.fit(notation, data, start=...)``.
"""

from __future__ import annotations

import math
import warnings
from typing import Protocol

import numpy as np
import numpy.typing as npt

from kelvara_lab.drt.ends import tail_kind
from kelvara_lab.drt.refine import CLEARLY_BETTER, PATIENCE, Refined

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

#: an arc at least this ideal is written (R, C)
_IDEAL_ALPHA = 0.97
_TINY = 1e-12


class Distribution(Protocol):
    """What a suggestion reads of a DRT: the fit of its peaks and ends, and the spectrum."""

    @property
    def refined(self) -> Refined: ...
    @property
    def frequencies(self) -> FloatArray: ...
    @property
    def impedances(self) -> ComplexArray: ...
    @property
    def noise_floor(self) -> float: ...


def _tails(q: float, exponent: float, f_min: float, k: int) -> list[tuple[str, dict[str, float]]]:
    """The low-frequency elements an analyst would try for a tail of this exponent."""
    q = max(q, _TINY)
    tau = 1 / (2 * math.pi * f_min)
    options = {
        "W": {f"W{k}.aw": 1 / (q * math.sqrt(2))},
        "Wo": {f"Wo{k}.z0": math.sqrt(tau) / q, f"Wo{k}.tau": tau},
        "CPE": {f"CPE{k}.q": q, f"CPE{k}.alpha": min(exponent, 0.999)},
        "C": {f"C{k}.c": q},
    }
    kinds = ["W", "Wo", "CPE"] if exponent < 0.75 else ["CPE", "C", "Wo"]
    first = tail_kind(exponent)
    kinds = [first] + [kind for kind in kinds if kind != first]
    return [(f"{kind}{k}", options[kind]) for kind in kinds]


def _best(
    result: Distribution,
    base: str,
    start: dict[str, float],
    tails: list[tuple[str, dict[str, float]]],
) -> tuple[str, dict[str, float]]:
    """The tail whose local fit has the lowest BIC, with the fitted values as the start."""
    from kelvara_lab.fitting.run import fit

    best: tuple[float, str, dict[str, float]] | None = None
    for element, values in tails:
        notation = f"{base}-{element}"
        guess = {**start, **values}
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                report = fit(
                    notation,
                    (result.frequencies, result.impedances),
                    start=guess,
                    search="local",
                    check=False,
                    noise_floor=result.noise_floor,
                    max_iterations=PATIENCE,
                )
            except (ValueError, RuntimeError, ArithmeticError):
                continue
        fitted = report.params
        if not (report.success and all(math.isfinite(v) for v in fitted.values())):
            continue
        # the element the exponent names stays unless another is clearly better
        if best is None or report.bic < best[0] - CLEARLY_BETTER:
            best = (report.bic, notation, dict(fitted))
    if best is None:
        element, values = tails[0]
        return f"{base}-{element}", {**start, **values}
    return best[1], best[2]


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
        f_min = float(min(result.frequencies))
        tails = _tails(q, exponent, f_min, len(shapes) + 1)
        return _best(result, "-".join(parts), start, tails)
    return "-".join(parts), start
