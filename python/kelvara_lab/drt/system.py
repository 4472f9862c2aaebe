"""The regularised least-squares problem of one spectrum, and its non-negative solution.

Unknowns: the unpenalised series terms first (R_inf, L when asked, and the low-frequency
term 1/(Q (j w)^n) of a capacitive or diffusive end, with its coefficient 1/Q; each only
where the fitted part sees it: R_inf is invisible to the imaginary part, L to the real
part), then the basis coefficients. The solution minimises

    || W (A x - z) ||^2 + lambda x_rbf^T M x_rbf   subject to x >= 0,

which is the ordinary non-negative least-squares problem of the stacked matrix
[W A; sqrt(lambda) U] and right-hand side [W z; 0], with U^T U = M (Cholesky). SciPy's
Lawson-Hanson solver finds its exact solution; the columns are scaled to unit norm first,
which changes nothing in exact arithmetic and keeps the active-set solves well conditioned
at every lambda from 1e-10 to 10.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Literal

import numpy as np
import numpy.typing as npt
import scipy.linalg
import scipy.optimize

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]
Mode = Literal["complex", "real", "imag"]
Weighting = Literal["unit", "modulus"]

MODES = ("complex", "real", "imag")
WEIGHTINGS = ("unit", "modulus")
# Relative floor added to M's diagonal: M of overlapping Gaussians is numerically singular,
# and this keeps its Cholesky factor finite without changing any solution visibly.
_JITTER = 1e-12


@dataclass(frozen=True)
class System:
    """The rows of one fitted part (or both), weighted, with the penalty's Gram matrix."""

    matrix: FloatArray  # rows x (series terms + basis functions)
    rhs: FloatArray
    gram: FloatArray  # basis x basis, positive definite
    series: tuple[str, ...]  # names of the leading unpenalised columns


def weights_for(z: ComplexArray, weighting: str) -> FloatArray:
    """Per-point weights; "modulus" is 1/|Z| scaled to keep ohm units (so lambda stays
    comparable with unit weighting)."""
    if weighting == "unit":
        return np.ones(z.size)
    if weighting == "modulus":
        modulus = np.abs(z)
        return np.asarray(np.sqrt(np.mean(modulus**2)) / modulus, dtype=float)
    raise ValueError(f"weighting must be 'unit' or 'modulus', got {weighting!r}")


def regularised_gram(gram: FloatArray) -> FloatArray:
    jitter = _JITTER * float(np.max(np.diag(gram)))
    return gram + jitter * np.eye(gram.shape[0])


def assemble(
    frequencies: FloatArray,
    z: ComplexArray,
    a_re: FloatArray,
    a_im: FloatArray,
    gram: FloatArray,
    *,
    mode: str,
    inductance: bool,
    weights: FloatArray,
    tail_exponent: float | None = None,
) -> System:
    """The system of `mode`: "complex" stacks the real rows above the imaginary ones."""
    if mode not in MODES:
        raise ValueError(f"mode must be 'complex', 'real' or 'imag', got {mode!r}")
    w = 2 * np.pi * frequencies
    blocks, rhs, series = [], [], []
    with_real = mode in ("complex", "real")
    with_imag = mode in ("complex", "imag")
    if with_real:
        series.append("r_inf")
    if with_imag and inductance:
        series.append("inductance")
    if tail_exponent is not None:
        series.append("tail")
    for part, active in (("real", with_real), ("imag", with_imag)):
        if not active:
            continue
        columns = []
        for name in series:
            if name == "r_inf":
                columns.append(np.ones_like(w) if part == "real" else np.zeros_like(w))
            elif name == "inductance":
                columns.append(w if part == "imag" else np.zeros_like(w))
            else:
                columns.append(_tail_column(w, tail_exponent or 1.0, part))
        basis = a_re if part == "real" else a_im
        block = np.column_stack([*columns, basis]) if columns else basis
        blocks.append(block * weights[:, None])
        rhs.append((z.real if part == "real" else z.imag) * weights)
    return System(np.vstack(blocks), np.concatenate(rhs), regularised_gram(gram), tuple(series))


def _tail_column(w: FloatArray, exponent: float, part: str) -> FloatArray:
    """Real or imaginary part of (j w)^-n, the low-frequency term per unit 1/Q."""
    angle = exponent * math.pi / 2
    scale = w**-exponent
    return np.asarray(scale * (math.cos(angle) if part == "real" else -math.sin(angle)))


def tail_impedance(frequencies: FloatArray, exponent: float) -> ComplexArray:
    """(j w)^-n at `frequencies`: the low-frequency term per unit 1/Q."""
    return np.asarray((2j * np.pi * frequencies) ** -exponent, dtype=complex)


def solve(system: System, lam: float) -> FloatArray:
    """The exact non-negative minimiser at `lam` (series terms first, then the basis)."""
    a = system.matrix
    lead = len(system.series)
    upper = scipy.linalg.cholesky(system.gram, lower=False)
    penalty_rows = np.zeros((upper.shape[0], a.shape[1]))
    penalty_rows[:, lead:] = math.sqrt(lam) * upper
    stacked = np.vstack([a, penalty_rows])
    target = np.concatenate([system.rhs, np.zeros(upper.shape[0])])
    norms = np.linalg.norm(stacked, axis=0)
    norms[norms == 0] = 1.0
    scaled, _ = scipy.optimize.nnls(stacked / norms, target, maxiter=50 * a.shape[1])
    return np.asarray(scaled / norms, dtype=float)
