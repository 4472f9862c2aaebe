"""From a DRT to a circuit (one R-CPE arc per peak), and from a fitted circuit to its DRT.

A peak fitted with a Zarc shape (R, tau0, alpha) is the impedance R / (1 + (j w tau0)^alpha),
which is R in parallel with a CPE of Q = tau0^alpha / R and the same alpha. Back again, R
parallel to a CPE is a Zarc with tau0 = (R Q)^(1/alpha); R parallel to C, and the K element,
are ideal relaxations: a Dirac line of weight R at tau = RC (tau_k).
"""

from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvara_lab.drt.peaks import zarc_gamma

if TYPE_CHECKING:
    from kelvara_lab.drt.result import DrtResult
    from kelvara_lab.report import FitReport

FloatArray = npt.NDArray[np.float64]

_TOKEN = re.compile(r"^([A-Za-z]+)(\d+)$")
_PAIR = re.compile(r"^p?\((\w+),(\w+)\)$")
# A CPE or Zarc exponent this close to 1 is an ideal relaxation.
_IDEAL = 1 - 1e-9


def suggest_circuit(result: DrtResult, *, min_share: float = 0.02) -> tuple[str, dict[str, float]]:
    """Notation and start values: R0, L0 when the DRT had an inductance, and one (Rk,CPEk)
    per peak holding at least `min_share` of the peaks' resistance, from short tau to long.

    The start values are named as ``kelvara.Circuit(notation).param_names()`` names them,
    ready for ``kl.fit(notation, data, start=...)``.
    """
    if not 0 <= min_share < 1:
        raise ValueError(f"min_share must lie in [0, 1), got {min_share}")
    peaks = result.peaks
    total = float(peaks["r"].sum()) if not peaks.empty else 0.0
    kept = peaks[peaks["r"] >= min_share * total] if total > 0 else peaks.iloc[0:0]
    # Start values sit inside the open box (1e-12, inf); a zero would start on its edge.
    floor = 1e-6 * max(result.r_inf + total, 1e-6)
    parts, start = [], {}
    if result.inductance is not None:
        parts.append("L0")
        start["L0.l"] = max(result.inductance, 1e-12)
    parts.append("R0")
    start["R0.r"] = max(result.r_inf, floor)
    ordered = kept.sort_values("tau")
    columns = (ordered[name].to_numpy(dtype=float) for name in ("tau", "r", "alpha"))
    for k, (tau, resistance, alpha) in enumerate(zip(*columns, strict=True), start=1):
        parts.append(f"(R{k},CPE{k})")
        r = max(float(resistance), floor)
        start[f"R{k}.r"] = r
        start[f"CPE{k}.q"] = float(tau) ** float(alpha) / r
        start[f"CPE{k}.alpha"] = float(alpha)
    return "-".join(parts), start


@dataclass(frozen=True)
class CircuitDrt:
    """The DRT of a fitted circuit: a continuous part sampled at `tau`, ideal relaxations as
    `lines` (columns tau, r), and the series terms."""

    tau: FloatArray
    gamma: FloatArray
    lines: pd.DataFrame
    r_inf: float
    inductance: float


def _split_series(notation: str) -> list[str]:
    parts, depth, current = [], 0, ""
    for char in notation.replace(" ", ""):
        if char == "-" and depth == 0:
            parts.append(current)
            current = ""
            continue
        depth += (char == "(") - (char == ")")
        current += char
    parts.append(current)
    return parts


def drt_of(report: FitReport, tau: Any = None) -> CircuitDrt:
    """The analytic DRT of a fitted circuit made of R and L in series with R-C and R-CPE
    pairs and K and Zarc elements. `tau` (s) defaults to the measured range, 20 per decade."""
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

    def field(token: str, name: str) -> float:
        return float(values[f"{token}.{name}"])

    def code(token: str) -> str:
        match = _TOKEN.match(token)
        if match is None or not any(n.startswith(token + ".") for n in values):
            raise ValueError(f"drt_of: {token!r} is not an element of {report.circuit!r}")
        return match.group(1)

    def relaxation(r: float, tau0: float, alpha: float) -> None:
        nonlocal gamma
        if alpha >= _IDEAL:
            lines.append((tau0, r))
        else:
            gamma = gamma + zarc_gamma(np.log(t / tau0), r, alpha)

    for term in _split_series(report.circuit):
        pair = _PAIR.match(term)
        if pair is None:
            kind = code(term)
            if kind == "R":
                r_inf += field(term, "r")
            elif kind == "L":
                inductance += field(term, "l")
            elif kind == "K":
                lines.append((field(term, "tau_k"), field(term, "r")))
            elif kind == "Zarc":
                relaxation(field(term, "r"), field(term, "tau_k"), field(term, "gamma"))
            else:
                raise ValueError(f"drt_of: a series {kind} element has no DRT ({term!r})")
            continue
        first, second = pair.groups()
        kinds = {code(first): first, code(second): second}
        if "R" not in kinds or len(kinds) != 2:
            raise ValueError(f"drt_of: only R-C and R-CPE pairs have a DRT here, not {term!r}")
        r = field(kinds["R"], "r")
        if "C" in kinds:
            lines.append((r * field(kinds["C"], "c"), r))
        elif "CPE" in kinds or "Cpe" in kinds:
            token = kinds.get("CPE", kinds.get("Cpe", ""))
            q, alpha = field(token, "q"), field(token, "alpha")
            relaxation(r, (r * q) ** (1 / alpha), alpha)
        else:
            raise ValueError(f"drt_of: only R-C and R-CPE pairs have a DRT here, not {term!r}")
    table = pd.DataFrame(lines, columns=["tau", "r"], dtype=float)
    return CircuitDrt(t, gamma, table.sort_values("tau", ignore_index=True), r_inf, inductance)
