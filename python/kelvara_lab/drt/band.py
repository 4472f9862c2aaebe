"""The credible band: samples of the regularised problem's posterior under x >= 0.

With Gaussian noise of variance s^2, the regularised objective is the negative log posterior:
x ~ N(mu, S) truncated to x >= 0, S = s^2 (A^T A + lambda M)^-1, mu the unconstrained ridge
solution. s^2 is estimated as |r|^2 / (n - tr H) at the chosen lambda. Sampled by exact
Hamiltonian Monte Carlo for truncated Gaussians (Pakman and Paninski, J. Comput. Graph.
Stat. 23 (2014) 518): in whitened coordinates w (x = mu + F w) every trajectory is
w(t) = a sin t + b cos t, so the first time it meets a wall F_j w + mu_j = 0 is found in
closed form, the velocity is reflected there, and no step size or rejection is involved.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt
import scipy.linalg

from kelvara_lab.drt import basis
from kelvara_lab.drt.criteria import ridge_path
from kelvara_lab.drt.system import System

FloatArray = npt.NDArray[np.float64]

_TRAVEL = math.pi / 2
_BURN_IN = 50


def _first_wall(fa: FloatArray, fb: FloatArray, g: FloatArray) -> tuple[float, int]:
    """(time, index) of the first wall F_j w + g_j = 0 met on w(t) = a sin t + b cos t,
    given fa = F a and fb = F b."""
    u = np.hypot(fa, fb)
    reachable = u > np.abs(g)
    if not reachable.any():
        return math.inf, -1
    index = np.flatnonzero(reachable)
    phi = np.arctan2(-fa[index], fb[index])
    angle = np.arccos(np.clip(-g[index] / u[index], -1.0, 1.0))
    times = np.concatenate([angle - phi, -angle - phi]) % (2 * math.pi)
    times[times < 1e-10] = math.inf
    flat = int(np.argmin(times))
    return float(times[flat]), int(index[flat % index.size])


def sample(
    system: System, lam: float, start: FloatArray, count: int, rng: np.random.Generator
) -> FloatArray:
    """`count` posterior samples of all unknowns (rows), started from the feasible `start`.

    The trajectory is followed through fp = F w and fv = F v alone (x = mu + fp): moving
    for a time t mixes the two by sin t and cos t, and a reflection at wall j changes fv by
    a multiple of column j of F F^T, so each bounce costs O(n), not a matrix product."""
    a = system.matrix
    lead = len(system.series)
    path = ridge_path(system, np.array([lam]))
    dof = max(a.shape[0] - float(path.trace[0]), 1.0)
    variance = max(float(np.sum(path.residuals**2)) / dof, np.finfo(float).tiny)
    precision = a.T @ a
    precision[lead:, lead:] += lam * system.gram
    precision += 1e-12 * np.trace(precision) / precision.shape[0] * np.eye(precision.shape[0])
    upper = scipy.linalg.cholesky(precision / variance, lower=False)
    mu = scipy.linalg.cho_solve((upper, False), a.T @ system.rhs / variance)
    # x = mu + F w with F = upper^-1, so that w is standard normal before truncation.
    f = scipy.linalg.solve_triangular(upper, np.eye(upper.shape[0]))
    gram = f @ f.T
    feasible = np.maximum(start, 0) + 1e-9 * max(float(np.max(np.abs(start))), 1e-300)
    fp = feasible - mu
    out = np.empty((count, mu.size))
    for k in range(-_BURN_IN, count):
        fv = f @ rng.standard_normal(mu.size)
        left = _TRAVEL
        for _ in range(10_000):
            t, j = _first_wall(fv, fp, mu)
            step = min(t, left)
            fp, fv = (
                fv * math.sin(step) + fp * math.cos(step),
                fv * math.cos(step) - fp * math.sin(step),
            )
            if t >= left:
                break
            fv = fv - 2 * fv[j] / gram[j, j] * gram[:, j]
            left -= t
        if k >= 0:
            out[k] = mu + fp
    return np.maximum(out, 0.0)


def credible_band(
    system: System,
    lam: float,
    solution: FloatArray,
    grid: FloatArray,
    centres: FloatArray,
    epsilon: float,
    level: float,
    count: int,
    seed: int | None,
) -> tuple[FloatArray, FloatArray]:
    """Pointwise lower and upper quantiles of gamma on `grid` (ln tau) at `level`."""
    if count < 10:
        raise ValueError(f"band_samples must be at least 10, got {count}")
    draws = sample(system, lam, solution, count, np.random.default_rng(seed))
    lead = len(system.series)
    gammas = basis.evaluate(draws[:, lead:].T, centres, epsilon, grid).T
    tail = (1 - level) / 2
    lower, upper = np.quantile(gammas, [tail, 1 - tail], axis=0)
    return np.asarray(lower, dtype=float), np.asarray(upper, dtype=float)
