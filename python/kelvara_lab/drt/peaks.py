"""Peaks of a DRT and their resistances, from analytic Zarc (Cole-Cole) shapes.

A Zarc R / (1 + (j w tau0)^alpha) has the DRT, over s = ln(tau / tau0),

    gamma(s) = R / (2 pi) * sin(alpha pi) / (cosh(alpha s) + cos(alpha pi)),

whose area is R and whose full width at half maximum is 2 acosh(2 + cos(alpha pi)) / alpha.
Cutting a DRT at its minima gives each peak the tails of its neighbours (15-50 % off at
1.5 decades for alpha near 0.75), so every local maximum inside the measured range of tau
becomes one such shape, in two steps:

1. position and exponent: the shapes are fitted together to gamma by bounded least squares;
   a shape holding under 1 % of the polarisation resistance is dropped here;
2. resistance: the shapes and the ends are fitted together to the measured impedance, one
   least-squares fit on the engine started from step 1 (`refine`), which also recognises
   ringing (a shape the measured impedance has no use for).
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import pandas as pd
import scipy.optimize
import scipy.signal

from kelvara_lab.drt.refine import MIN_SHARE, Refined, Shape, refine, window

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]


@dataclass(frozen=True)
class Ends:
    """The DRT's series terms, the start of the measured fit: R_inf, L (None without), the
    low-frequency term as a CPE (Q, alpha) (None without)."""

    r_inf: float
    inductance: float | None
    tail: tuple[float, float] | None


COLUMNS = ["tau", "frequency", "gamma", "r", "width", "alpha"]
#: a local maximum counts as a peak when its prominence is at least this share of the highest;
#: below about 3 % the ripples of a lightly regularised DRT start to count
MIN_PROMINENCE = 0.03
_ALPHA_BOUNDS = (0.2, 0.999)


def zarc_gamma(s: FloatArray, r: float, alpha: float) -> FloatArray:
    """The DRT of a Zarc of resistance `r` at s = ln(tau / tau0)."""
    angle = alpha * math.pi
    denominator = np.cosh(np.clip(alpha * s, -700, 700)) + math.cos(angle)
    return np.asarray(r / (2 * math.pi) * math.sin(angle) / denominator, dtype=float)


def zarc_width(alpha: float) -> float:
    """Full width at half maximum of a Zarc's DRT, in decades of tau."""
    if not alpha > 0:
        return math.inf
    return 2 * math.acosh(2 + math.cos(alpha * math.pi)) / alpha / math.log(10)


def _alpha_for_width(decades: float) -> float:
    """The alpha whose Zarc DRT has this half-maximum width (the start of the fit)."""
    lo, hi = _ALPHA_BOUNDS
    if decades >= zarc_width(lo):
        return lo
    if decades <= zarc_width(hi):
        return hi
    return float(scipy.optimize.brentq(lambda a: zarc_width(a) - decades, lo, hi))


def empty() -> pd.DataFrame:
    return pd.DataFrame({name: pd.Series(dtype=float) for name in COLUMNS})


def _starts(log_tau: FloatArray, gamma: FloatArray, lo: float, hi: float) -> list[list[float]]:
    """[ln R, ln tau0, alpha] of each local maximum in [lo, hi], as a lone Zarc of its height
    and half-maximum width."""
    top = float(np.max(gamma)) if gamma.size else 0.0
    if not top > 0:
        return []
    index, _ = scipy.signal.find_peaks(gamma, prominence=MIN_PROMINENCE * top)
    index = index[(log_tau[index] >= lo) & (log_tau[index] <= hi)]
    if index.size == 0:
        return []
    step = float(log_tau[1] - log_tau[0])
    widths = scipy.signal.peak_widths(gamma, index, rel_height=0.5)[0] * step / math.log(10)
    starts = []
    for i, width in zip(index, widths, strict=True):
        alpha = _alpha_for_width(float(width))
        r = float(gamma[i]) / float(zarc_gamma(np.zeros(1), 1.0, alpha)[0])
        starts.append([math.log(r), float(log_tau[i]), alpha])
    return starts


def _fit_shapes(log_tau: FloatArray, gamma: FloatArray, starts: list[list[float]]) -> FloatArray:
    """Step 1: all shapes against gamma at once; rows of (ln R, ln tau0, alpha)."""
    x0 = np.array(starts, dtype=float).ravel()
    spread = np.tile([30.0, math.log(10), 0.0], len(starts))
    lower = x0 - spread
    upper = x0 + spread
    lower[2::3], upper[2::3] = _ALPHA_BOUNDS
    upper[0::3] = x0[0::3] + 5.0
    scale = float(np.max(gamma))

    def residual(p: FloatArray) -> FloatArray:
        total = np.zeros_like(log_tau)
        for ln_r, y0, alpha in p.reshape(-1, 3):
            total += zarc_gamma(log_tau - y0, math.exp(ln_r), alpha)
        return np.asarray((total - gamma) / scale, dtype=float)

    def jacobian(p: FloatArray) -> FloatArray:
        # d/d ln R = g; d/d y0 = c alpha sinh(alpha s) / D^2;
        # d/d alpha = c (pi cos(theta) / D - sin(theta) (s sinh(alpha s) - pi sin(theta)) / D^2)
        # with c = R / (2 pi), theta = alpha pi, D = cosh(alpha s) + cos(theta).
        columns = []
        for ln_r, y0, alpha in p.reshape(-1, 3):
            s = log_tau - y0
            theta = alpha * math.pi
            arg = np.clip(alpha * s, -700, 700)
            d = np.cosh(arg) + math.cos(theta)
            c = math.exp(ln_r) / (2 * math.pi)
            sinh = np.sinh(arg)
            columns += [
                c * math.sin(theta) / d,
                c * math.sin(theta) * alpha * sinh / d**2,
                c
                * (
                    math.pi * math.cos(theta) / d
                    - math.sin(theta) * (s * sinh - math.pi * math.sin(theta)) / d**2
                ),
            ]
        return np.column_stack(columns) / scale

    fitted = scipy.optimize.least_squares(
        residual, x0, jac=jacobian, bounds=(lower, upper), x_scale="jac"
    )
    return np.asarray(fitted.x, dtype=float).reshape(-1, 3)


def find(
    log_tau: FloatArray,
    gamma: FloatArray,
    frequencies: FloatArray,
    impedances: ComplexArray,
    ends: Ends,
    floor: float,
) -> tuple[pd.DataFrame, Refined]:
    """The peaks of `gamma` (sampled on the even grid `log_tau`) with their Zarc shapes, and
    the fit of shapes and ends to the measured `impedances`.

    Only maxima whose tau lies within the measured window (`refine.window`) count (beyond,
    a peak is not resolved).
    """
    lo, hi = (math.log(t) for t in window(frequencies))
    starts = _starts(log_tau, gamma, lo, hi)
    shapes: list[Shape] = []
    if starts:
        fitted = _fit_shapes(log_tau, gamma, starts)
        total = float(np.trapezoid(gamma, log_tau))
        shapes = [
            Shape(math.exp(ln_r), math.exp(y0), float(alpha))
            for ln_r, y0, alpha in fitted
            if math.exp(ln_r) >= MIN_SHARE * total
        ]
    refined = refine(shapes, ends.r_inf, ends.inductance, ends.tail, frequencies, impedances, floor)
    rows = [
        {
            "tau": shape.tau,
            "frequency": 1 / (2 * math.pi * shape.tau),
            "gamma": float(np.interp(math.log(shape.tau), log_tau, gamma)),
            "r": shape.r,
            "width": zarc_width(shape.alpha),
            "alpha": shape.alpha,
        }
        for shape in refined.shapes
    ]
    table = pd.DataFrame(rows, columns=COLUMNS) if rows else empty()
    return table.sort_values("tau", ignore_index=True), refined
