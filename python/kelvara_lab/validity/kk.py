"""The Lin-KK test (Schönleber et al., Electrochim. Acta 131 (2014) 20): is a spectrum
reproduced by a Kramers-Kronig-compliant circuit?

The circuit is R0 + sum_k R_k / (1 + j w tau_k) (+ j w L, + 1/(j w C)), with the tau_k fixed
and log-spaced from 1/w_max to 1/w_min, so fitting is linear least squares on the residuals
weighted by 1/|Z|. The series capacitance is added by default when the low-frequency end is
capacitive (-Im Z still rising as the frequency falls), which RC elements inside the window
cannot follow.

The number of RC elements M: over-fitting shows up as resistances of alternating sign,
measured by mu = 1 - sum(|R_k|, R_k < 0) / sum(|R_k|, R_k >= 0). Schönleber's rule stops at
the first M where mu falls below ``mu_criterion``; but mu also dips at small M, where the fit
is still poor (a single arc between two grid time constants needs negative neighbours), and
stopping there fails good spectra with a large "noise". So the counts are scanned upward
from a minimum tied to the window (``RC_PER_DECADE`` per decade), and M_mu is the count from
which mu stays below the criterion, as Yrjänä and Bobacka (Electrochim. Acta 504 (2024)
144951) recommend; "stays" means for ``SETTLE_COUNTS`` counts running, where the scan stops.
The grids of successive M are not nested, so a smaller M can fit better than M_mu: the test
keeps the best fit among the counts from the minimum to M_mu.

Pass/fail: the relative residuals of a valid spectrum are noise. With residuals
dZ/|Z| of standard deviation s in both parts, the pseudo chi-square is about 2 N s^2, so
the noise estimate is sigma = 100 * sqrt(chi2 / (2 N)) percent (Yrjänä and Bobacka). The test
passes when sigma is at most ``max_noise`` (1 % by default). A mu that never falls below the
criterion within ``max_rc`` elements means no over-fitting was seen: every count is then a
candidate, the verdict rests on the noise alone, and ``mu_reached`` says so.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvara_lab import display
from kelvara_lab.io.columns import FREQUENCY, IMAGINARY, REAL, SPECTRUM

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]
FitKind = Literal["complex", "real", "imag"]
Weighting = Literal["modulus", "unit"]

MU_CRITERION = 0.85
MAX_NOISE_PERCENT = 1.0
#: the automatic choice of M starts at this many RC elements per decade of the window
RC_PER_DECADE = 2.0
#: mu counts as staying below the criterion once it has for this many counts running
SETTLE_COUNTS = 10


@dataclass(frozen=True)
class KKResult:
    """The outcome of one Lin-KK test."""

    frequencies: FloatArray
    impedances: ComplexArray
    fitted: ComplexArray
    #: (Z - Z_fit) / |Z|, real and imaginary parts, as fractions
    residuals_real: FloatArray
    residuals_imag: FloatArray
    pseudo_chi_square: float
    #: estimated noise level, percent of |Z|
    noise: float
    num_rc: int
    mu: float
    mu_reached: bool
    passed: bool
    max_noise: float
    series_resistance: float
    resistances: FloatArray
    time_constants: FloatArray
    inductance: float
    capacitance: float

    @property
    def verdict(self) -> str:
        """ "pass" or "FAIL", and why, with the numbers."""
        if self.passed:
            return f"pass: noise {self.noise:.3g} % within the {self.max_noise:g} % limit"
        return f"FAIL: noise {self.noise:.3g} % above the {self.max_noise:g} % limit"

    def _repr_html_(self) -> str:
        return str(display.render(self, "html"))

    def __repr__(self) -> str:
        # The arrays stay out: a repr is a line to read, not the data.
        return f"<KKResult {self.frequencies.size} points, {self}>"

    def plot(self) -> Any:
        """The data with the Lin-KK fit, above the residuals (a matplotlib Figure)."""
        return display.render(self, "plot")

    def __str__(self) -> str:
        verdict = "pass" if self.passed else "FAIL"
        return (
            f"Lin-KK {verdict}: M={self.num_rc}, mu={self.mu:.3f}, "
            f"chi2_ps={self.pseudo_chi_square:.3g}, noise~{self.noise:.3g} %"
        )


def _spectrum(f: object, z: object) -> tuple[FloatArray, ComplexArray]:
    if z is None:
        if not isinstance(f, pd.DataFrame):
            from kelvara_lab.spectrum.record import load

            spectrum = load(f, run_checks=False)  # a pair, a file path, any frame
            f, z = spectrum.frequencies, spectrum.impedances
            return _spectrum(f, z)
        if SPECTRUM in f.columns and f[SPECTRUM].nunique() > 1:
            raise ValueError(
                "the frame holds several spectra; test them one at a time "
                "(kelvara_lab.spectra(frame))"
            )
        freq = f[FREQUENCY].to_numpy(dtype=float)
        imp = f[REAL].to_numpy(dtype=float) + 1j * f[IMAGINARY].to_numpy(dtype=float)
    else:
        freq = np.asarray(f, dtype=float).ravel()
        imp = np.asarray(z, dtype=complex).ravel()
    if freq.shape != imp.shape:
        raise ValueError(f"{freq.size} frequencies but {imp.size} impedances")
    if freq.size < 3:
        raise ValueError(f"the Lin-KK test needs at least 3 points, got {freq.size}")
    if not (np.all(np.isfinite(freq)) and np.all(np.isfinite(imp))):
        raise ValueError("the spectrum holds non-finite values; drop them first (drop_flagged)")
    if np.any(freq <= 0):
        raise ValueError("the spectrum holds zero or negative frequencies; drop them first")
    if np.any(np.abs(imp) == 0):
        raise ValueError("the spectrum holds points with |Z| = 0")
    return freq, imp


def time_constants(f: FloatArray, m: int) -> FloatArray:
    """M time constants, log-spaced from 1/(2 pi f_max) to 1/(2 pi f_min)."""
    w = 2 * np.pi * f
    if m == 1:
        return np.array([1 / w.min()])
    return np.geomspace(1 / w.max(), 1 / w.min(), m)


def _basis(
    w: FloatArray, tau: FloatArray, add_inductance: bool, add_capacitance: bool
) -> ComplexArray:
    # Columns: R0, the RC elements, then L and 1/C when asked.
    basis = np.empty((w.size, 1 + tau.size + add_inductance + add_capacitance), dtype=complex)
    basis[:, 0] = 1
    # 1 / (1 + j x) = (1 - j x) / (1 + x^2), in real arithmetic: a complex division per
    # element costs more than the whole least-squares solve on a long spectrum.
    x = np.outer(w, tau)
    rc = basis[:, 1 : 1 + tau.size]
    np.reciprocal(1 + x * x, out=rc.real)
    np.multiply(-x, rc.real, out=rc.imag)
    if add_inductance:
        basis[:, 1 + tau.size] = 1j * w
    if add_capacitance:
        basis[:, -1] = 1 / (1j * w)
    return basis


def _solve(basis: ComplexArray, z: ComplexArray, weight: FloatArray, fit: FitKind) -> FloatArray:
    b = z * weight
    if fit == "complex":
        # The weighted real and imaginary parts stacked, written in place.
        n = len(weight)
        rows = np.empty((2 * n, basis.shape[1]))
        np.multiply(basis.real, weight[:, None], out=rows[:n])
        np.multiply(basis.imag, weight[:, None], out=rows[n:])
        rhs = np.concatenate([b.real, b.imag])
        free = np.ones(basis.shape[1], dtype=bool)
    else:
        part = np.real if fit == "real" else np.imag
        rows, rhs = part(basis) * weight[:, None], part(b)
        # Columns that vanish in the fitted part (R0 in the imaginary part, L and C in the real
        # part) are fitted afterwards to what the first solve leaves in the other part.
        free = np.any(rows != 0, axis=0)
    x = np.zeros(basis.shape[1])
    x[free] = _lstsq(rows if free.all() else rows[:, free], rhs)
    if not free.all():
        a = basis * weight[:, None]
        other = np.imag if fit == "real" else np.real
        rest = other(b - a[:, free] @ x[free])
        x[~free] = _lstsq(other(a[:, ~free]), rest)
    return x


# Least squares on more rows than this solves the normal equations with corrections:
# LAPACK's Householder solver sweeps the whole matrix once per column, bound by memory
# traffic (1e5 points, 50 RC elements: about a second per solve), where one matrix product
# forms A^T A and the corrections are matrix-vector products.
_TALL_ROWS = 20_000
# Corrected semi-normal equations match a QR solution while cond(A)^2 eps stays well below 1
# (Björck, Numerical Methods for Least Squares Problems, 1996, sec. 2.5.3); above this the
# Householder solver takes over.
_NORMAL_EQUATIONS_MAX_COND = 1e7
_CORRECTIONS = 3


def _lstsq(a: FloatArray, b: FloatArray) -> FloatArray:
    # Column scaling keeps the ohm, henry and farad columns comparable for the SVD.
    if a.shape[0] > _TALL_ROWS:
        x = _lstsq_normal(a, b)
        if x is not None:
            return x
    norm = np.linalg.norm(a, axis=0)
    norm[norm == 0] = 1
    x, *_ = np.linalg.lstsq(a / norm, b, rcond=None)
    return np.asarray(x / norm, dtype=float)


def _lstsq_normal(a: FloatArray, b: FloatArray) -> FloatArray | None:
    """`_lstsq` for a tall `a` by corrected semi-normal equations; None where `a` is too
    ill-conditioned for them.

    With D the column norms and R^T R = D^-1 A^T A D^-1 (Cholesky): y = D x solves
    R^T R y = D^-1 A^T b, then corrections R^T R dy = D^-1 A^T (b - A D^-1 y) refine it.
    Well below the limit no singular value nears lstsq's cut-off, so both agree.
    """
    from scipy.linalg import cho_solve

    gram = a.T @ a
    norm = np.sqrt(np.diag(gram)).copy()
    norm[norm == 0] = 1
    try:
        factor = np.linalg.cholesky(gram / np.outer(norm, norm))
    except np.linalg.LinAlgError:
        return None
    if np.linalg.cond(factor) > _NORMAL_EQUATIONS_MAX_COND:
        return None
    x = np.zeros(a.shape[1])
    residual = b
    for _ in range(_CORRECTIONS + 1):
        step = cho_solve((factor, True), (residual @ a) / norm) / norm
        x += step
        residual = b - a @ x
        if np.max(np.abs(step)) <= 4 * np.finfo(float).eps * np.max(np.abs(x)):
            break
    return x


def _mu(resistances: FloatArray) -> float:
    positive = np.abs(resistances[resistances >= 0]).sum()
    negative = np.abs(resistances[resistances < 0]).sum()
    return 1.0 - float(negative / positive) if positive > 0 else -np.inf


def capacitive_end(f: FloatArray, z: ComplexArray) -> bool:
    """Whether -Im(Z) is positive and still rising over the three lowest frequencies: a
    blocking electrode or a diffusion tail, whose series capacitance no RC inside the window
    can stand in for."""
    order = np.argsort(f)[:3]
    tail = -z.imag[order]
    return bool(tail.size == 3 and tail[0] > 0 and tail[0] > tail[1] > tail[2])


def min_rc_for(f: FloatArray) -> int:
    """The smallest count the automatic choice considers: ``RC_PER_DECADE`` per decade of the
    window, and at least 3."""
    decades = float(np.log10(f.max() / f.min()))
    return max(3, int(np.ceil(RC_PER_DECADE * decades)))


@dataclass(frozen=True)
class _Fit:
    tau: FloatArray
    x: FloatArray
    fitted: ComplexArray
    chi2: float
    mu: float


def kk_test(
    f: object,
    z: object = None,
    *,
    mu_criterion: float = MU_CRITERION,
    min_rc: int | None = None,
    max_rc: int = 50,
    num_rc: int | None = None,
    fit: FitKind = "complex",
    add_inductance: bool = True,
    add_capacitance: bool | None = None,
    max_noise: float = MAX_NOISE_PERCENT,
    weighting: Weighting = "modulus",
) -> KKResult:
    """Run the Lin-KK test on a spectrum: frequencies (Hz) and complex impedances (ohm), or one
    BDF frame (a single spectrum).

    ``num_rc`` fixes the number of RC elements; otherwise it is chosen among ``min_rc`` (by
    default ``RC_PER_DECADE`` per decade of the window) to ``max_rc`` by the mu criterion, as
    the module's text explains. ``fit`` selects the parts fitted: "complex" (both), "real" or
    "imag". ``add_capacitance`` None adds the series capacitance when the low-frequency end is
    capacitive (``capacitive_end``). The test passes when the estimated noise is at most
    ``max_noise`` percent. ``weighting`` "modulus" weights each point by 1/|Z| (Schönleber's
    choice, and impedance.py's); "unit" fits in ohm, as pyimpspec's linear tests do.
    """
    if fit not in ("complex", "real", "imag"):
        raise ValueError(f"fit must be 'complex', 'real' or 'imag', got {fit!r}")
    if weighting not in ("modulus", "unit"):
        raise ValueError(f"weighting must be 'modulus' or 'unit', got {weighting!r}")
    if not 0 < mu_criterion <= 1:
        raise ValueError(f"mu_criterion must lie in (0, 1], got {mu_criterion}")
    freq, imp = _spectrum(f, z)
    if add_capacitance is None:
        add_capacitance = capacitive_end(freq, imp)
    w = 2 * np.pi * freq
    weight = 1 / np.abs(imp) if weighting == "modulus" else np.ones_like(freq)
    unknowns = 1 + add_inductance + add_capacitance
    limit = (2 if fit == "complex" else 1) * freq.size - unknowns

    def fit_count(m: int) -> _Fit:
        tau = time_constants(freq, m)
        basis = _basis(w, tau, add_inductance, add_capacitance)
        x = _solve(basis, imp, weight, fit)
        fitted = basis @ x
        res = (imp - fitted) / np.abs(imp)
        chi2 = float(np.sum(res.real**2 + res.imag**2))
        return _Fit(tau, x, fitted, chi2, _mu(x[1 : m + 1]))

    if num_rc is not None:
        if not 1 <= num_rc <= limit:
            raise ValueError(f"num_rc must lie in 1..{limit} for {freq.size} points, got {num_rc}")
        best = fit_count(num_rc)
        reached = best.mu < mu_criterion
    else:
        if min_rc is not None and not 1 <= min_rc <= max_rc:
            raise ValueError(f"min_rc must lie in 1..max_rc ({max_rc}), got {min_rc}")
        top = max(min(max_rc, limit), 1)
        low = min(min_rc if min_rc is not None else min_rc_for(freq), top)
        fits: dict[int, _Fit] = {}
        below = 0
        for count in range(low, top + 1):
            fits[count] = fit_count(count)
            below = below + 1 if fits[count].mu < mu_criterion else 0
            if below == SETTLE_COUNTS:
                break
        last = max(fits)
        reached = fits[last].mu < mu_criterion
        above = [m for m, one in fits.items() if one.mu >= mu_criterion]
        settled = (above[-1] + 1 if above else low) if reached else last
        best = min((fits[m] for m in range(low, settled + 1)), key=lambda one: one.chi2)
    m = best.tau.size
    x = best.x
    res = (imp - best.fitted) / np.abs(imp)
    noise = 100 * float(np.sqrt(best.chi2 / (2 * freq.size)))
    extra = x[m + 1 :]
    inductance = float(extra[0]) if add_inductance else 0.0
    inv_c = float(extra[-1]) if add_capacitance else 0.0
    return KKResult(
        frequencies=freq,
        impedances=imp,
        fitted=best.fitted,
        residuals_real=res.real.copy(),
        residuals_imag=res.imag.copy(),
        pseudo_chi_square=best.chi2,
        noise=noise,
        num_rc=m,
        mu=best.mu,
        mu_reached=bool(reached),
        passed=noise <= max_noise,
        max_noise=max_noise,
        series_resistance=float(x[0]),
        resistances=x[1 : m + 1].copy(),
        time_constants=best.tau,
        inductance=inductance,
        capacitance=(1 / inv_c) if inv_c != 0 else np.inf,
    )
