"""Gaussian radial basis functions in ln(tau) and the matrices that map them to impedances.

The DRT model is Z(w) = R_inf + j w L + integral gamma(y) / (1 + j w e^y) dy, y = ln(tau),
with gamma(y) = sum_m x_m phi(y - y_m) and phi(u) = exp(-(eps u)^2). The centres are
tau_m = 1/f_m (the convention of DRTtools and its descendants, kept so that the same lambda
means the same problem there and here), and the shape eps = c * 2 sqrt(ln 2) / mean|d ln f|:
a basis function's full width at half maximum is the mean point spacing over c.

With t = ln(w tau_m) + u both kernels depend on s = ln(w tau_m) only:

    A_re(s) = integral exp(-(eps u)^2) / (1 + e^(2(s + u))) du
    A_im(s) = -integral exp(-(eps u)^2) / (2 cosh(s + u)) du

The integrands are analytic in a strip around the real axis, so the trapezoid rule in
v = eps u converges geometrically: a step of min(0.5, eps/4) over |v| <= 6.2 leaves errors
near 1e-16 relative (the Gaussian alone needs exp(-pi^2/h^2) small; the kernel's poles at
Im t = pi/2 need exp(-pi^2 eps/h) small). One vectorised pass evaluates every entry.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt
from scipy.special import expit

FloatArray = npt.NDArray[np.float64]

#: half-width of the Gaussian's quadrature range, in units of 1/eps (exp(-6.2^2) ~ 2e-17)
_REACH = 6.2
FWHM_FACTOR = 2.0 * math.sqrt(math.log(2.0))


#: at most this many basis functions per decade: denser spectra (hundreds of points) get an
#: even grid instead of one function per point, which resolves as much and solves in a
#: fraction of the time
MAX_PER_DECADE = 20


def shape_parameter(frequencies: FloatArray, coefficient: float, rule: str) -> float:
    """eps from the spacing of the basis centres of `frequencies` ("fwhm") or given
    directly ("factor")."""
    if not coefficient > 0 or not math.isfinite(coefficient):
        raise ValueError(f"shape_coeff must be a positive number, got {coefficient}")
    if rule == "factor":
        return float(coefficient)
    if rule != "fwhm":
        raise ValueError(f"rbf_shape must be 'fwhm' or 'factor', got {rule!r}")
    spacing = float(np.mean(np.abs(np.diff(np.sort(centres(frequencies))))))
    if not spacing > 0:
        raise ValueError("the frequencies must not all be equal")
    return coefficient * FWHM_FACTOR / spacing


def centres(frequencies: FloatArray, extend: float = 0.0, long_end: bool = True) -> FloatArray:
    """ln(tau_m) of the basis functions, tau_m = 1/f_m, and `extend` decades more at each
    end at the mean spacing: an arc that closes beyond the window (a diode's above the
    highest frequency, a ceramic's below the lowest) then has basis functions to sit on
    instead of distorting those inside. ``long_end`` False extends at short tau only: with
    a low-frequency term in the model, basis functions beyond the long end would compete
    with it for the tail."""
    inner = np.asarray(-np.log(frequencies), dtype=float)
    decades = float(np.ptp(inner)) / math.log(10) if inner.size else 0.0
    if decades > 0 and inner.size > MAX_PER_DECADE * decades + 1:
        count = math.ceil(MAX_PER_DECADE * decades) + 1
        inner = np.linspace(float(inner.min()), float(inner.max()), count)
    if not extend > 0 or inner.size < 2:
        return inner
    step = float(np.mean(np.abs(np.diff(inner))))
    count = math.ceil(extend * math.log(10) / step)
    beyond = step * np.arange(1, count + 1, dtype=float)
    lo, hi = float(inner.min()), float(inner.max())
    longer = hi + beyond if long_end else np.empty(0)
    return np.sort(np.concatenate([lo - beyond, inner, longer]))


def _nodes(epsilon: float) -> tuple[FloatArray, float]:
    step = min(0.5, 0.25 * epsilon)
    count = math.ceil(_REACH / step)
    v = step * np.arange(-count, count + 1, dtype=float)
    return v, step


def impedance_matrices(
    frequencies: FloatArray, log_tau: FloatArray, epsilon: float
) -> tuple[FloatArray, FloatArray]:
    """(A_re, A_im), shape (frequencies, centres): Z_rbf = (A_re + j A_im) @ x."""
    v, step = _nodes(epsilon)
    weights = np.exp(-(v**2)) * (step / epsilon)
    s = np.log(2 * np.pi * frequencies)[:, None] + log_tau[None, :]
    # Log-spaced frequencies give only 2N - 1 distinct s; rounding the 13th digit away
    # finds them (and moves the kernels by 1e-13 relative at most).
    distinct, back = np.unique(np.round(s, 12), return_inverse=True)
    t = distinct[:, None] + (v / epsilon)[None, :]
    a_re = expit(-2.0 * t) @ weights
    # 1/(2 cosh t) written without cosh, which overflows for |t| > 710.
    decay = np.exp(-np.abs(t))
    a_im = -(decay / (1.0 + decay * decay)) @ weights
    shape = s.shape
    return (
        np.asarray(a_re[back].reshape(shape), dtype=float),
        np.asarray(a_im[back].reshape(shape), dtype=float),
    )


def penalty_matrix(log_tau: FloatArray, epsilon: float, order: int) -> FloatArray:
    """Gram matrix of the basis's `order`-th derivatives: x^T M x = integral (gamma^(k))^2 dy.

    The autocorrelation of phi is R(d) = sqrt(pi/2)/eps exp(-eps^2 d^2/2), and the Gram entry
    of the k-th derivatives is (-1)^k R^(2k)(d), here in closed form for k = 0, 1, 2.
    """
    a = epsilon * epsilon
    d2 = (log_tau[:, None] - log_tau[None, :]) ** 2
    base = math.sqrt(math.pi / 2.0) / epsilon * np.exp(-a * d2 / 2.0)
    if order == 0:
        return np.asarray(base, dtype=float)
    if order == 1:
        return np.asarray(base * a * (1.0 - a * d2), dtype=float)
    if order == 2:
        return np.asarray(base * a * a * (a * a * d2 * d2 - 6.0 * a * d2 + 3.0), dtype=float)
    raise ValueError(f"derivative_order must be 0, 1 or 2, got {order}")


def evaluate(x: FloatArray, log_tau: FloatArray, epsilon: float, at: FloatArray) -> FloatArray:
    """gamma at the points `at` (ln tau) for coefficients `x`."""
    return np.asarray(np.exp(-((epsilon * (at[:, None] - log_tau[None, :])) ** 2)) @ x, dtype=float)


def area(epsilon: float) -> float:
    """The integral of one basis function over ln tau (its resistance per unit coefficient)."""
    return math.sqrt(math.pi) / epsilon
