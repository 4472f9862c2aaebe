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

The numbers are kelvara's core's (the scan, its least squares and the choice of M, in C++ off
the interpreter lock, the counts of a scan side by side on the worker pool); this module reads
the spectrum and reports.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvara_lab import _engine, display
from kelvara_lab.io.columns import FREQUENCY, IMAGINARY, REAL, SPECTRUM

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]
FitKind = Literal["complex", "real", "imag"]
Weighting = Literal["modulus", "unit"]

# The test's numbers are the core's (the scan, the least squares and the choice of M run in
# C++ off the interpreter lock); its defaults come from there too.
_CORE = _engine.lin_kk_constants()
MU_CRITERION: float = _CORE["mu_criterion"]
MAX_NOISE_PERCENT = 1.0
#: the automatic choice of M starts at this many RC elements per decade of the window
RC_PER_DECADE: float = _CORE["rc_per_decade"]
#: mu counts as staying below the criterion once it has for this many counts running
SETTLE_COUNTS: int = _CORE["settle_counts"]
MAX_RC: int = _CORE["max_rc"]


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
    # Lengths, point count, non-finite values, frequencies and |Z| = 0 are checked by the core.
    return freq, imp


def capacitive_end(f: FloatArray, z: ComplexArray) -> bool:
    """Whether -Im(Z) is positive and still rising over the three lowest frequencies: a
    blocking electrode or a diffusion tail, whose series capacitance no RC inside the window
    can stand in for."""
    return bool(
        _engine.lin_kk_capacitive_end(np.asarray(f, dtype=float), np.asarray(z, dtype=complex))
    )


def kk_test(
    f: object,
    z: object = None,
    *,
    mu_criterion: float = MU_CRITERION,
    min_rc: int | None = None,
    max_rc: int = MAX_RC,
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
    freq, imp = _spectrum(f, z)
    out = _engine.lin_kk(
        freq,
        imp,
        mu_criterion=mu_criterion,
        min_rc=min_rc,
        max_rc=max_rc,
        num_rc=num_rc,
        fit=fit,
        add_inductance=add_inductance,
        add_capacitance=add_capacitance,
        weighting=weighting,
    )
    tau, x, fitted = out["time_constants"], out["values"], out["fitted"]
    m = tau.size
    res = (imp - fitted) / np.abs(imp)
    chi2 = float(out["pseudo_chi_square"])
    noise = 100 * float(np.sqrt(chi2 / (2 * freq.size)))
    extra = x[m + 1 :]
    inductance = float(extra[0]) if add_inductance else 0.0
    inv_c = float(extra[-1]) if out["add_capacitance"] else 0.0
    return KKResult(
        frequencies=freq,
        impedances=imp,
        fitted=fitted,
        residuals_real=res.real.copy(),
        residuals_imag=res.imag.copy(),
        pseudo_chi_square=chi2,
        noise=noise,
        num_rc=m,
        mu=float(out["mu"]),
        mu_reached=bool(out["mu_reached"]),
        passed=noise <= max_noise,
        max_noise=max_noise,
        series_resistance=float(x[0]),
        resistances=x[1 : m + 1].copy(),
        time_constants=tau,
        inductance=inductance,
        capacitance=(1 / inv_c) if inv_c != 0 else np.inf,
    )
