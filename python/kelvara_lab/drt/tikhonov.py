"""`drt()`: the Tikhonov-regularised, non-negative DRT on a Gaussian basis (TR-RBF).

The pieces: the basis and its matrices (`basis`), the regularised problem and its exact
non-negative solution (`system`), the choice of lambda (`criteria`), the peaks (`peaks`),
the credible band (`band`).
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import numpy.typing as npt

from kelvara_lab.drt import basis, criteria
from kelvara_lab.drt.result import DrtResult
from kelvara_lab.drt.system import MODES, WEIGHTINGS, assemble, solve, weights_for
from kelvara_lab.spectrum.record import load, one_spectrum

FloatArray = npt.NDArray[np.float64]

METHODS = ("tr-rbf",)
#: points of the returned gamma per basis spacing, and basis spacings beyond the outer centres
_OVERSAMPLE = 6
_MARGIN = 3


def _lambda(value: Any) -> float | None:
    """None for "auto", else the given lambda, checked."""
    if isinstance(value, str):
        if value == "auto":
            return None
        raise ValueError(f"lambda_ must be 'auto' or a number, got {value!r}")
    if isinstance(value, bool):
        raise TypeError("lambda_ must be 'auto' or a number, got a bool")
    lam = float(value)
    if not (math.isfinite(lam) and lam >= 0):
        raise ValueError(f"lambda_ must be a finite number >= 0, got {value!r}")
    return lam


def drt(
    data: Any,
    z: Any = None,
    *,
    method: str = "tr-rbf",
    lambda_: float | str = "auto",
    mode: str = "complex",
    criterion: str = criteria.DEFAULT,
    inductance: bool = False,
    derivative_order: int = 1,
    rbf_shape: str = "fwhm",
    shape_coeff: float = 0.5,
    weighting: str = "unit",
    credible_band: bool = False,
    band_level: float = 0.95,
    band_samples: int = 1000,
    seed: int | None = None,
    check: bool = True,
) -> DrtResult:
    """The distribution of relaxation times of one spectrum.

    `data` is a BDF frame, a file path, a pair ``(f, z)``, or ``f`` with ``z`` beside it
    (checked as `kl.fit` checks it; ``check=False`` skips the checks). ``mode`` fits
    "complex" (both parts), "real" or "imag"; a part that cannot see R_inf (imaginary) or L
    (real) gets it afterwards from the other part's residual. ``lambda_`` is "auto" (chosen
    by ``criterion``: "lcurve", the default, "gcv", "mgcv" or "re-im", on 1e-10..10) or a
    number. ``inductance`` adds a
    series inductance. The basis is Gaussian in ln(tau) with centres at 1/f; ``rbf_shape``
    "fwhm" sets its width from the point spacing with ``shape_coeff`` (0.5: two spacings),
    "factor" takes ``shape_coeff`` as eps. ``derivative_order`` (0, 1, 2) is the derivative
    of gamma whose square the penalty integrates. ``weighting`` "unit" fits ohms as the
    peers do; "modulus" weights by 1/|Z|. ``credible_band`` samples the non-negative
    posterior (``band_samples`` draws, ``seed``) for ``gamma_lower``/``gamma_upper`` at
    ``band_level``.
    """
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(METHODS)}, got {method!r}")
    if mode not in MODES:
        raise ValueError(f"mode must be 'complex', 'real' or 'imag', got {mode!r}")
    if weighting not in WEIGHTINGS:
        raise ValueError(f"weighting must be 'unit' or 'modulus', got {weighting!r}")
    if criterion not in criteria.CRITERIA:
        known = ", ".join(criteria.CRITERIA)
        raise ValueError(f"unknown lambda criterion {criterion!r}: expected one of {known}")
    if derivative_order not in (0, 1, 2):
        raise ValueError(f"derivative_order must be 0, 1 or 2, got {derivative_order!r}")
    if credible_band and not 0 < band_level < 1:
        raise ValueError(f"band_level must lie in (0, 1), got {band_level}")
    given = _lambda(lambda_)
    spectrum = load(one_spectrum(data, z), run_checks=check)
    f, z = spectrum.frequencies, spectrum.impedances
    if f.size < 3:
        raise ValueError(f"a DRT needs at least 3 points, got {f.size}")
    if not (np.all(np.isfinite(f)) and np.all(np.isfinite(z)) and np.all(f > 0)):
        raise ValueError(
            "the spectrum holds non-finite values or non-positive frequencies; drop them first"
        )
    if weighting == "modulus" and np.any(z == 0):
        raise ValueError("modulus weighting needs |Z| > 0 at every point")

    epsilon = basis.shape_parameter(f, shape_coeff, rbf_shape)
    centres = basis.centres(f)
    a_re, a_im = basis.impedance_matrices(f, centres, epsilon)
    gram = basis.penalty_matrix(centres, epsilon, derivative_order)
    weights = weights_for(z, weighting)

    def system(part: str) -> Any:
        return assemble(f, z, a_re, a_im, gram, mode=part, inductance=inductance, weights=weights)

    main = system(mode)
    if given is None:
        parts = (system("real"), system("imag")) if criterion == "re-im" else (main, main)
        lambdas = criteria.GRID
        values = criteria.curve(criterion, main, parts, lambdas)
        lam = criteria.best(values, lambdas)
        chosen_by = criterion
    else:
        lam, chosen_by = given, "given"
        lambdas = values = np.empty(0)

    x = solve(main, lam)
    lead = len(main.series)
    series = dict(zip(main.series, x[:lead], strict=True))
    coefficients = x[lead:]
    w = 2 * np.pi * f
    rbf = a_re @ coefficients + 1j * (a_im @ coefficients)
    r_inf = series.get("r_inf")
    if r_inf is None:  # the imaginary part cannot see it: the weighted mean of what is left
        r_inf = max(0.0, float(np.sum(weights**2 * (z.real - rbf.real)) / np.sum(weights**2)))
    l_value: float | None = None
    if inductance:
        l_value = series.get("inductance")
        if l_value is None:  # nor can the real part see L
            rest = (z.imag - rbf.imag) * weights
            column = w * weights
            l_value = max(0.0, float(column @ rest / (column @ column)))
    fitted = np.asarray(
        r_inf + rbf + (1j * w * l_value if l_value is not None else 0), dtype=complex
    )

    step = float(np.mean(np.abs(np.diff(centres)))) if centres.size > 1 else 1.0
    lo, hi = float(centres.min()) - _MARGIN * step, float(centres.max()) + _MARGIN * step
    grid = np.linspace(lo, hi, max(3, math.ceil((hi - lo) / step * _OVERSAMPLE) + 1))
    gamma = basis.evaluate(coefficients, centres, epsilon, grid)

    lower = upper = None
    if credible_band:
        from kelvara_lab.drt.band import credible_band as sample_band

        lower, upper = sample_band(
            main, lam, x, grid, centres, epsilon, band_level, band_samples, seed
        )

    return DrtResult(
        frequencies=f,
        impedances=z,
        tau=np.exp(grid),
        gamma=gamma,
        r_inf=float(r_inf),
        inductance=None if l_value is None else float(l_value),
        lambda_=float(lam),
        fitted=np.asarray(fitted, dtype=complex),
        method=method,
        mode=mode,
        criterion=chosen_by,
        criterion_lambdas=np.asarray(lambdas, dtype=float),
        criterion_values=np.asarray(values, dtype=float),
        epsilon=float(epsilon),
        derivative_order=derivative_order,
        weighting=weighting,
        centres=centres,
        coefficients=np.asarray(coefficients, dtype=float),
        gamma_lower=lower,
        gamma_upper=upper,
        band_level=band_level if credible_band else None,
        findings=spectrum.findings,
    )
