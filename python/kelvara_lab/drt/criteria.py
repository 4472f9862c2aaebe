"""Choosing lambda: each criterion as a curve over a grid of lambdas, and its best point.

The criteria judge the unconstrained ridge solution (as is usual; the non-negative one has
no closed-form influence matrix). After the unpenalised series columns are projected out,
one generalised symmetric eigendecomposition K v = mu M v of K = A^T A gives, for every
lambda at once, x(lambda) = V diag(1/(mu + lambda)) V^T A^T b, the residual, the trace of
the influence matrix tr H = k + sum mu/(mu + lambda) and the seminorm x^T M x: the whole
curve costs about one solve.

- "gcv": generalised cross-validation, n |r|^2 / (n - tr H)^2 (Golub, Heath, Wahba 1979).
- "mgcv": the modified form n |r|^2 / (n - rho tr H)^2, rho = 1.3 (2 below 100 rows), which
  resists GCV's occasional choice of far too small a lambda (Cummins et al. 2001; Lukas 2006).
- "re-im": real/imaginary cross-validation: fit one part, predict the other, sum both
  discrepancies (Saccoccio et al., Electrochim. Acta 147 (2014) 470).
- "lcurve": the corner of log |r| against log sqrt(x^T M x): the grid point of largest
  curvature.

These curves are the alternatives to the default, "noise" (`discrepancy`). On measured
cells the L-curve's corner moves to lambda 0.1-10 whenever an inductive or capacitive end
dominates the residual norm, and merges arcs; GCV and its modified form pick lambdas far too
small on a quarter to a half of the synthetic spectra of bench/drt.py (the noise is not
white in ohm), which lets ripples through as peaks.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import scipy.linalg

from kelvara_lab.drt.system import System

FloatArray = npt.NDArray[np.float64]

CRITERIA = ("noise", "gcv", "mgcv", "re-im", "lcurve")
#: the default judges the non-negative solution against the noise floor (`discrepancy`)
DEFAULT = "noise"
#: the searched lambdas: 1e-10 to 10, ten per decade
GRID = np.logspace(-10, 1, 111)


@dataclass(frozen=True)
class Path:
    """Unconstrained ridge solutions along a lambda grid."""

    solutions: FloatArray  # columns x lambdas, series terms first
    residuals: FloatArray  # rows x lambdas
    trace: FloatArray  # tr H per lambda
    seminorm: FloatArray  # x^T M x per lambda


def ridge_path(system: System, lambdas: FloatArray) -> Path:
    a, b, lead = system.matrix, system.rhs, len(system.series)
    series, basis = a[:, :lead], a[:, lead:]
    if lead:
        q, r = np.linalg.qr(series)
        basis_p = basis - q @ (q.T @ basis)
        b_p = b - q @ (q.T @ b)
    else:
        basis_p, b_p = basis, b
    mu, v = scipy.linalg.eigh(basis_p.T @ basis_p, system.gram)
    mu = np.maximum(mu, 0.0)
    beta = v.T @ (basis_p.T @ b_p)
    y = beta[:, None] / (mu[:, None] + lambdas[None, :])
    coefficients = v @ y
    residuals = b_p[:, None] - (basis_p @ v) @ y
    trace = lead + np.sum(mu[:, None] / (mu[:, None] + lambdas[None, :]), axis=0)
    if lead:
        lead_values = scipy.linalg.solve_triangular(r, q.T @ (b[:, None] - basis @ coefficients))
        coefficients = np.vstack([lead_values, coefficients])
    return Path(coefficients, residuals, trace, np.sum(y * y, axis=0))


def _gcv(path: Path, rho: float) -> FloatArray:
    n = path.residuals.shape[0]
    rss = np.sum(path.residuals**2, axis=0)
    room = n - rho * path.trace
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(room > 0, n * rss / np.where(room > 0, room, 1.0) ** 2, np.inf)


def _lcurve(path: Path, lambdas: FloatArray) -> FloatArray:
    tiny = np.finfo(float).tiny
    x = np.log(np.sqrt(np.sum(path.residuals**2, axis=0)) + tiny)
    y = np.log(np.sqrt(path.seminorm) + tiny)
    t = np.log(lambdas)
    dx, dy = np.gradient(x, t), np.gradient(y, t)
    ddx, ddy = np.gradient(dx, t), np.gradient(dy, t)
    with np.errstate(divide="ignore", invalid="ignore"):
        curvature = (dx * ddy - ddx * dy) / (dx * dx + dy * dy) ** 1.5
    # The corner is the largest curvature; as a criterion to minimise, its negative.
    return np.asarray(np.where(np.isfinite(curvature), -curvature, np.inf), dtype=float)


def _prediction_error(fit: System, other: System, lambdas: FloatArray) -> FloatArray:
    """Squared misfit of `other`'s rows predicted from `fit`'s solutions, after refitting
    the series terms `fit` cannot see (R_inf for the imaginary part, L for the real)."""
    path = ridge_path(fit, lambdas)
    lead_fit, lead_other = len(fit.series), len(other.series)
    full = np.zeros((other.matrix.shape[1], lambdas.size))
    full[lead_other:] = path.solutions[lead_fit:]
    for name in other.series:
        if name in fit.series:
            full[other.series.index(name)] = path.solutions[fit.series.index(name)]
    misfit = other.rhs[:, None] - other.matrix @ full
    unseen = [i for i, name in enumerate(other.series) if name not in fit.series]
    if unseen:
        columns = other.matrix[:, unseen]
        shift, *_ = np.linalg.lstsq(columns, misfit, rcond=None)
        misfit = misfit - columns @ shift
    return np.asarray(np.sum(misfit**2, axis=0), dtype=float)


def curve(
    criterion: str, system: System, parts: tuple[System, System], lambdas: FloatArray
) -> FloatArray:
    """The criterion's value at each lambda (smaller is better). `parts` holds the real-only
    and imaginary-only systems, which "re-im" needs."""
    if criterion in ("gcv", "mgcv"):
        rho = 1.0 if criterion == "gcv" else (2.0 if system.matrix.shape[0] < 100 else 1.3)
        return _gcv(ridge_path(system, lambdas), rho)
    if criterion == "lcurve":
        return _lcurve(ridge_path(system, lambdas), lambdas)
    if criterion == "re-im":
        real, imag = parts
        return _prediction_error(real, imag, lambdas) + _prediction_error(imag, real, lambdas)
    raise ValueError(
        f"unknown lambda criterion {criterion!r}: expected one of {', '.join(CRITERIA)}"
    )


def best(values: FloatArray, lambdas: FloatArray) -> float:
    """The lambda of the smallest finite value (the largest such lambda on a tie)."""
    finite = np.isfinite(values)
    if not finite.any():
        return float(lambdas[len(lambdas) // 2])
    masked = np.where(finite, values, np.inf)
    smallest = np.flatnonzero(masked == masked.min())
    return float(lambdas[smallest[-1]])
