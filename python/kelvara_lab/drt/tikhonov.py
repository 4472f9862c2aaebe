"""`drt()`: the Tikhonov-regularised, non-negative DRT on a Gaussian basis (TR-RBF).

The pieces: the basis and its matrices (`basis`), the regularised problem and its exact
non-negative solution (`system`), the choice of lambda (`criteria`), the peaks (`peaks`),
the credible band (`band`).
"""

from __future__ import annotations

import math
import warnings
from typing import Any

import numpy as np
import numpy.typing as npt

from kelvara_lab.drt import basis, criteria, discrepancy
from kelvara_lab.drt.ends import Ends
from kelvara_lab.drt.ends import choose as choose_ends
from kelvara_lab.drt.misfit import DrtMisfitWarning, misses
from kelvara_lab.drt.result import DrtResult
from kelvara_lab.drt.system import (
    MODES,
    WEIGHTINGS,
    System,
    assemble,
    solve,
    tail_impedance,
    weights_for,
)
from kelvara_lab.spectrum.record import load, one_spectrum

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

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


def canonical(f: FloatArray, z: ComplexArray) -> tuple[FloatArray, ComplexArray]:
    """The spectrum in ascending frequency with repeated frequencies averaged: the DRT of a
    spectrum does not depend on how its rows were ordered or repeated."""
    unique, back = np.unique(f, return_inverse=True)
    if unique.size == f.size:
        order = np.argsort(f, kind="stable")
        return f[order], z[order]
    counts = np.bincount(back)
    real = np.bincount(back, weights=z.real) / counts
    imag = np.bincount(back, weights=z.imag) / counts
    return np.asarray(unique, dtype=float), np.asarray(real + 1j * imag, dtype=complex)


def drt(
    data: Any,
    z: Any = None,
    *,
    method: str = "tr-rbf",
    lambda_: float | str = "auto",
    mode: str = "complex",
    criterion: str = criteria.DEFAULT,
    inductance: bool | None = None,
    tail: float | str | None = "auto",
    extend: float = 1.0,
    derivative_order: int = 1,
    rbf_shape: str = "fwhm",
    shape_coeff: float = 0.5,
    weighting: str = "modulus",
    credible_band: bool = False,
    band_level: float = 0.95,
    band_samples: int = 1000,
    seed: int | None = None,
    check: bool = True,
) -> DrtResult:
    """The distribution of relaxation times of one spectrum.

    `data` is a BDF frame, a file path, a pair ``(f, z)``, or ``f`` with ``z`` beside it
    (checked as `kl.fit` checks it; ``check=False`` skips the checks); rows may come in any
    order, repeated frequencies are averaged. ``mode`` fits "complex" (both parts), "real"
    or "imag"; a part that cannot see R_inf (imaginary) or L (real) gets it afterwards from
    the other part's residual.

    The ends (`drt.ends`): R_inf always; ``inductance`` None adds a series L when the
    high-frequency end is inductive (True/False impose it); ``tail`` "auto" adds a
    low-frequency term 1/(Q (j w)^n) when the low-frequency end still rises (n read from the
    tail: 1 a capacitance, 1/2 a diffusion line), None never, a number imposes n.
    ``extend`` adds basis functions that many decades beyond the window at each end (0: the
    window alone, as the peers' TR-RBF): an arc that closes beyond it still has a home.

    ``lambda_`` is "auto" (chosen by ``criterion``: "noise", the default, fits down to the
    spectrum's Lin-KK noise floor (`drt.discrepancy`); "lcurve", "gcv", "mgcv", "re-im" on
    1e-10..10) or a number. The basis is Gaussian in ln(tau) with centres at 1/f;
    ``rbf_shape`` "fwhm" sets its width from the point spacing with ``shape_coeff`` (0.5: two
    spacings), "factor" takes ``shape_coeff`` as eps. ``derivative_order`` (0, 1, 2) is the
    derivative of gamma whose square the penalty integrates. ``weighting`` "modulus" (the
    default) weights by 1/|Z|, as the noise of an impedance analyser scales; "unit" fits ohms.
    ``credible_band`` samples the non-negative posterior (``band_samples`` draws, ``seed``)
    for ``gamma_lower``/``gamma_upper`` at ``band_level``.

    The result's ``misfit`` and ``noise_floor`` (percent of |Z|) say how well the DRT
    reproduces the spectrum; beyond twice the floor it warns (``DrtMisfitWarning``) and
    ``misfit_band`` names the frequencies where it misses.
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
    if isinstance(extend, bool) or not (math.isfinite(float(extend)) and extend >= 0):
        raise ValueError(f"extend must be a finite number of decades >= 0, got {extend!r}")
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

    f, z = canonical(f, z)
    floor = discrepancy.noise_floor(f, z)
    ends = choose_ends(f, z, inductance, tail, floor)
    epsilon = basis.shape_parameter(f, shape_coeff, rbf_shape)
    centres = basis.centres(f, extend, long_end=ends.tail_exponent is None)
    a_re, a_im = basis.impedance_matrices(f, centres, epsilon)
    gram = basis.penalty_matrix(centres, epsilon, derivative_order)
    weights = weights_for(z, weighting)

    def system(part: str) -> System:
        return assemble(
            f,
            z,
            a_re,
            a_im,
            gram,
            mode=part,
            inductance=ends.inductance,
            weights=weights,
            tail_exponent=ends.tail_exponent,
        )

    def model(x: FloatArray, part_system: System) -> tuple[dict[str, float], ComplexArray]:
        return _series_and_fit(x, part_system, f, z, a_re, a_im, weights, ends)

    main = system(mode)
    if given is None and criterion == "noise":
        lambdas = criteria.GRID

        def misfit_at(lam: float) -> float:
            return discrepancy.relative_misfit(z, model(solve(main, lam), main)[1])

        lam, _ = discrepancy.choose(lambdas, misfit_at, floor)
        values = np.empty(0)
        chosen_by = criterion
    elif given is None:
        parts = (system("real"), system("imag")) if criterion == "re-im" else (main, main)
        lambdas = criteria.GRID
        values = criteria.curve(criterion, main, parts, lambdas)
        lam = criteria.best(values, lambdas)
        chosen_by = criterion
    else:
        lam, chosen_by = given, "given"
        lambdas = values = np.empty(0)

    x = solve(main, lam)
    series, fitted = model(x, main)
    coefficients = x[len(main.series) :]
    misfit = discrepancy.relative_misfit(z, fitted)

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

    result = DrtResult(
        frequencies=f,
        impedances=z,
        tau=np.exp(grid),
        gamma=gamma,
        r_inf=float(series["r_inf"]),
        inductance=series.get("inductance"),
        lambda_=float(lam),
        fitted=fitted,
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
        tail_exponent=ends.tail_exponent,
        tail_coefficient=series.get("tail"),
        ends_reasons=ends.reasons,
        noise_floor=floor,
        misfit=misfit,
        misfit_band=misses(f, z, fitted, floor),
    )
    if result.misfit_band is not None:
        warnings.warn(result.misfit_warning(), DrtMisfitWarning, stacklevel=2)
    return result


def _series_and_fit(
    x: FloatArray,
    system: System,
    f: FloatArray,
    z: ComplexArray,
    a_re: FloatArray,
    a_im: FloatArray,
    weights: FloatArray,
    ends: Ends,
) -> tuple[dict[str, float], ComplexArray]:
    """The series terms (R_inf, L, the tail's 1/Q) and the model impedance of solution `x`.
    A term the fitted part cannot see comes from the other part's residual."""
    lead = len(system.series)
    series = {name: float(v) for name, v in zip(system.series, x[:lead], strict=True)}
    coefficients = x[lead:]
    w = 2 * np.pi * f
    known = a_re @ coefficients + 1j * (a_im @ coefficients)
    if ends.tail_exponent is not None:
        known = known + series.get("tail", 0.0) * tail_impedance(f, ends.tail_exponent)
    if "r_inf" not in series:  # the imaginary part cannot see it: the weighted mean of the rest
        rest = z.real - known.real
        series["r_inf"] = max(0.0, float(np.sum(weights**2 * rest) / np.sum(weights**2)))
    if ends.inductance and "inductance" not in series:  # nor can the real part see L
        rest = (z.imag - known.imag) * weights
        column = w * weights
        series["inductance"] = max(0.0, float(column @ rest / (column @ column)))
    fitted = known + series["r_inf"] + 1j * w * series.get("inductance", 0.0)
    return series, np.asarray(fitted, dtype=complex)
