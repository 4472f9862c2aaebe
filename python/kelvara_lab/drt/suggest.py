"""From a DRT to a circuit: one R-CPE arc per peak, with start values.

A peak fitted with a Zarc shape (R, tau0, alpha) is the impedance R / (1 + (j w tau0)^alpha),
which is R in parallel with a CPE of Q = tau0^alpha / R and the same alpha.
"""

from __future__ import annotations

from typing import Protocol

import pandas as pd


class Distribution(Protocol):
    """What a suggestion reads of a DRT: its peaks table and its series terms."""

    @property
    def peaks(self) -> pd.DataFrame: ...
    @property
    def r_inf(self) -> float: ...
    @property
    def inductance(self) -> float | None: ...


def suggest_circuit(
    result: Distribution, *, min_share: float = 0.02
) -> tuple[str, dict[str, float]]:
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
