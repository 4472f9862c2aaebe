"""What a fit's residuals say: their level against the spectrum's noise, whether they are
random or follow a pattern, and the band of frequencies where the misfit sits.

All work on relative residuals, (model - data) / |Z|, so that every decade of |Z| counts alike.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

ComplexArray = npt.NDArray[np.complex128]
FloatArray = npt.NDArray[np.float64]


def relative(residuals: ComplexArray, z: ComplexArray) -> ComplexArray:
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.asarray(residuals / np.abs(z))


def relative_level(residuals: ComplexArray, z: ComplexArray, dof: int) -> float:
    """sqrt(sum |dZ / Z|^2 / dof) in percent of |Z|; NaN without degrees of freedom."""
    if dof <= 0:
        return math.nan
    rel = relative(residuals, z)
    return 100.0 * math.sqrt(float(np.sum(rel.real**2 + rel.imag**2)) / dof)


def lag_one_correlation(rel: ComplexArray) -> float:
    """The lag-1 correlation of the real and imaginary parts in frequency order, pooled.

    Not centred: a constant offset is a pattern too. White residuals give 0 +/- 1/sqrt(n);
    a missed arc leaves long runs of one sign and values near 1. NaN below three points or
    where every residual is zero."""
    if len(rel) < 3:
        return math.nan
    # Re(sum r[i+1] conj(r[i])) pools the real and imaginary parts' products.
    products = float(np.vdot(rel[:-1], rel[1:]).real)
    squares = float(np.vdot(rel, rel).real)
    return products / squares if squares > 0 and math.isfinite(squares) else math.nan


@dataclass(frozen=True)
class Band:
    """The frequencies (Hz) where a share of the misfit sits, and whether they reach an end
    of the measured range."""

    low: float
    high: float
    at_low_end: bool
    at_high_end: bool

    def describe(self) -> str:
        if self.at_low_end and self.at_high_end:
            return "across the whole spectrum"
        if self.at_low_end:
            return f"in the low-frequency tail below {self.high:.3g} Hz"
        if self.at_high_end:
            return f"at the high-frequency end above {self.low:.3g} Hz"
        return f"between {self.low:.3g} and {self.high:.3g} Hz"


def misfit_band(
    frequencies: FloatArray, rel: ComplexArray, floor: float, share: float
) -> Band | None:
    """The narrowest run of neighbouring frequencies that holds `share` of the misfit above
    the floor (percent of |Z| per residual); None where nothing exceeds it."""
    order = np.argsort(frequencies, kind="stable")
    f = frequencies[order]
    r = rel[order]
    per_point = (r.real**2 + r.imag**2) / 2  # per residual, as the floor is
    base = (floor / 100.0) ** 2 if math.isfinite(floor) else 0.0
    excess = np.maximum(np.nan_to_num(per_point - base, nan=0.0), 0.0)
    total = float(excess.sum())
    if not total > 0:
        return None
    # For each first point, the first last point whose window reaches the target.
    cumulative = np.concatenate(([0.0], np.cumsum(excess)))
    target = share * total
    ends = np.searchsorted(cumulative, cumulative[:-1] + target * (1 - 1e-12), side="left") - 1
    valid = ends < len(f)
    starts = np.flatnonzero(valid)
    widths = ends[valid] - starts
    lo = int(starts[np.argmin(widths)])
    best = (lo, int(ends[lo]))
    lo, hi = best
    return Band(float(f[lo]), float(f[hi]), lo == 0, hi == len(f) - 1)
