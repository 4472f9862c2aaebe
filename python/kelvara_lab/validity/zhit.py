"""Z-HIT: the modulus of a spectrum reconstructed from its phase (Ehm et al., Acta Chim.
Hung. 137 (2000) 145), a consistency check beside Lin-KK that needs no model.

For an impedance obeying the Kramers-Kronig relations, with x = ln(w) and phi = arg Z,

    ln|Z(x0)| = C + (2/pi) integral_{x_start}^{x0} phi dx + gamma dphi/dx (x0),

with gamma = -pi/6 the first correction term of the series. The phase is interpolated by a
spline in ln(w) (optionally smoothed first), so the integral and the derivative are the
spline's own. The constant C is fitted by weighted least squares of ln|Z| over a window in
log10(f) (by default 1 Hz to 1 kHz, the range least touched by drift or by the cell's leads;
all points when the window holds fewer than three). The deviation per point is
(|Z| - |Z_rec|) / |Z|.

The verdict looks for what Z-HIT is for: a systematic departure, such as the drift of a cell
that changed during the sweep. Two things move the deviation that are not the data's fault,
and the verdict takes both out. The series' one correction term leaves an error of its own
(0.6 % RMS on a noise-free two-arc spectrum); the same reconstruction of the spectrum's
Lin-KK fit, which obeys the relations by construction, shows that error, and it is
subtracted. Noise in the phase accumulates along the integral as a random walk, so the
remaining deviation is averaged over one decade (the trend) and judged against the noise
Lin-KK estimates for the same spectrum: the spectrum passes when the largest trend stays
within ``TREND_PER_NOISE`` times that noise, and never below ``MAX_NOISE_PERCENT`` (Lin-KK's
own limit). On synthetic two-arc spectra a drift of |Z| by 2 % over the sweep fails with
0.3 % noise, while noise alone up to 1 % passes. The outer ``END_DECADES`` at each end are
shown but not judged: there the spline's integral and slope rest on one side only (on the
measured spectra of the project's collection the reconstruction bends away by several per
cent within half a decade of the highest frequency where Lin-KK finds nothing). On those
29 spectra Z-HIT fails four: three that Lin-KK fails too, and an aged LFP cell whose
deviation grows steadily above 10 kHz. It passes the six that Lin-KK fails for noise alone
(1.4 to 3 %): it judges a trend, and leaves the noise to Lin-KK.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.interpolate
import scipy.signal

from kelvara_lab import display
from kelvara_lab.spectrum.record import load, one_spectrum
from kelvara_lab.validity.kk import MAX_NOISE_PERCENT, kk_test

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

CORRECTION = -math.pi / 6
INTERPOLATIONS = ("makima", "akima", "cubic", "pchip")
SMOOTHINGS = ("none", "savgol")
#: how far inside each end of the spectrum the verdict begins, in decades
END_DECADES = 0.5
#: the width of the running mean that turns the deviation into its trend, in decades
TREND_DECADES = 1.0
#: the largest trend that noise alone leaves, per percent of Lin-KK's noise estimate
TREND_PER_NOISE = 4.0


@dataclass(frozen=True)
class ZhitResult:
    """The reconstruction, in the order of the input points."""

    frequencies: FloatArray
    impedances: ComplexArray
    #: reconstructed |Z| (ohm)
    modulus: FloatArray
    #: the phase the reconstruction used (radians; smoothed when asked)
    phase: FloatArray
    #: (|Z| - |Z_rec|) / |Z|, as fractions
    deviation: FloatArray
    #: the fitted constant C of ln|Z_rec|
    offset: float
    #: the weights of the offset fit
    weights: FloatArray
    #: the deviation less the method's own (that of the Lin-KK fit), averaged over a decade
    trend: FloatArray
    #: the points the verdict judges (all but the ends)
    inner: npt.NDArray[np.bool_]
    #: Lin-KK's noise estimate of the same spectrum, percent of |Z|
    noise: float
    #: the largest trend that passes, percent of |Z|
    limit: float

    @property
    def reconstructed(self) -> ComplexArray:
        """|Z_rec| at the measured phase, as complex impedances."""
        return np.asarray(self.modulus * np.exp(1j * self.phase), dtype=complex)

    @property
    def systematic(self) -> float:
        """The largest trend among the judged points, percent of |Z|."""
        judged = np.abs(self.trend[self.inner])
        return float(100 * judged.max()) if judged.size else math.nan

    @property
    def rms(self) -> float:
        """The root-mean-square deviation of the judged points, percent of |Z|."""
        judged = self.deviation[self.inner]
        return float(100 * np.sqrt(np.mean(judged**2))) if judged.size else math.nan

    @property
    def passed(self) -> bool:
        return bool(self.systematic <= self.limit)

    @property
    def worst_point(self) -> int:
        """The index of the judged point where the trend is largest."""
        return int(np.argmax(np.where(self.inner, np.abs(self.trend), -np.inf)))

    @property
    def verdict(self) -> str:
        """ "pass" or "FAIL", with what was measured against what."""
        worst = float(self.frequencies[self.worst_point])
        measured = f"systematic deviation {self.systematic:.3g} % of |Z| (at {worst:.3g} Hz)"
        against = f"the {self.limit:.3g} % that Lin-KK's noise {self.noise:.3g} % allows"
        if self.passed:
            return f"pass: {measured} within {against}"
        return f"FAIL: {measured} above {against}"

    def plot(self) -> Any:
        """|Z| measured and rebuilt, and the deviation (a matplotlib Figure)."""
        return display.render(self, "plot")

    def _repr_html_(self) -> str:
        return str(display.render(self, "html"))

    def __repr__(self) -> str:
        return f"<ZhitResult {self.frequencies.size} points, {self.verdict}>"

    def __str__(self) -> str:
        return f"Z-HIT {self.verdict}"


def _spline(x: FloatArray, y: FloatArray, kind: str) -> Any:
    if kind == "cubic":
        return scipy.interpolate.CubicSpline(x, y)
    if kind == "pchip":
        return scipy.interpolate.PchipInterpolator(x, y)
    return scipy.interpolate.Akima1DInterpolator(x, y, method=kind)


def window_weights(frequencies: FloatArray, center: float, width: float) -> FloatArray:
    """1 inside |log10 f - center| <= width / 2, 0 outside; all ones if under 3 points are in."""
    inside = np.abs(np.log10(frequencies) - center) <= width / 2
    if np.count_nonzero(inside) < 3:
        return np.ones(frequencies.size)
    return inside.astype(float)


def _reconstruct(
    fs: FloatArray, zs: ComplexArray, w: FloatArray, interpolation: str, smoothing: str, points: int
) -> tuple[FloatArray, FloatArray, float]:
    """(|Z_rec|, phase used, offset) of a spectrum sorted by rising frequency."""
    x = np.log(2 * np.pi * fs)
    phase = np.unwrap(np.angle(zs))
    if smoothing == "savgol":
        window = min(points | 1, fs.size - (fs.size % 2 == 0))
        phase = scipy.signal.savgol_filter(phase, window, min(2, window - 1))
    spline = _spline(x, phase, interpolation)
    integral = spline.antiderivative()(x) - spline.antiderivative()(x[0])
    base = (2 / math.pi) * integral + CORRECTION * spline.derivative()(x)
    offset = float(np.sum(w * (np.log(np.abs(zs)) - base)) / np.sum(w))
    return np.exp(base + offset), phase, offset


def _running_mean(fs: FloatArray, values: FloatArray, decades: float) -> FloatArray:
    """Each point's mean over the points within half `decades` of it in log10(f)."""
    x = np.log10(fs)
    near = np.abs(x[:, None] - x[None, :]) <= decades / 2
    return np.asarray(near @ values / near.sum(axis=1), dtype=float)


def _inner(fs: FloatArray) -> npt.NDArray[np.bool_]:
    """In rising frequency order, the points the verdict judges: those more than
    `END_DECADES` inside either end of the spectrum (all of one too short to spare them)."""
    x = np.log10(fs)
    inner = (x - x[0] > END_DECADES) & (x[-1] - x > END_DECADES)
    return inner if np.count_nonzero(inner) >= 3 else np.ones(fs.size, dtype=bool)


def zhit(
    data: Any,
    z: Any = None,
    *,
    interpolation: str = "makima",
    smoothing: str = "none",
    smoothing_points: int = 5,
    center: float = 1.5,
    width: float = 3.0,
    weights: Any = None,
    check: bool = True,
) -> ZhitResult:
    """Reconstruct |Z| from the phase of `data` (a frame, a file path, a pair ``(f, z)``, or
    ``f`` with ``z`` beside it), and judge the deviation as the module's text explains.

    ``interpolation`` is the phase spline: "makima" (default), "akima", "cubic" or "pchip".
    ``smoothing`` "savgol" smooths the phase first (Savitzky-Golay, ``smoothing_points``
    wide, quadratic). The offset is fitted over the window ``center`` +/- ``width``/2 in
    log10(f), or with explicit per-point ``weights``.
    """
    if interpolation not in INTERPOLATIONS:
        raise ValueError(
            f"interpolation must be one of {', '.join(INTERPOLATIONS)}, got {interpolation!r}"
        )
    if smoothing not in SMOOTHINGS:
        raise ValueError(f"smoothing must be 'none' or 'savgol', got {smoothing!r}")
    if not (math.isfinite(center) and math.isfinite(width) and width > 0):
        raise ValueError(
            f"the offset window needs a finite center and a width above 0 decades, got "
            f"center {center}, width {width}"
        )
    spectrum = load(one_spectrum(data, z), run_checks=check)
    f, z = spectrum.frequencies, spectrum.impedances
    if f.size < 4:
        raise ValueError(f"Z-HIT needs at least 4 points, got {f.size}")
    if not (np.all(np.isfinite(f)) and np.all(np.isfinite(z)) and np.all(f > 0)):
        raise ValueError(
            "the spectrum holds non-finite values or non-positive frequencies; drop them first"
        )
    if np.any(z == 0):
        raise ValueError("Z-HIT needs |Z| > 0 at every point")
    order = np.argsort(f, kind="stable")
    fs, zs = f[order], z[order]
    if np.any(np.diff(fs) == 0):
        raise ValueError("Z-HIT needs distinct frequencies")
    if weights is None:
        w = window_weights(fs, center, width)
    else:
        w = np.asarray(weights, dtype=float).ravel()
        if w.shape != f.shape or np.any(w < 0) or not np.any(w > 0) or not np.all(np.isfinite(w)):
            raise ValueError("weights must be finite, non-negative, not all zero, one per point")
        w = w[order]
    options = (interpolation, smoothing, smoothing_points)
    modulus, phase, offset = _reconstruct(fs, zs, w, *options)
    deviation = (np.abs(zs) - modulus) / np.abs(zs)
    # The method's own error: the same reconstruction of a spectrum that obeys the relations.
    floor = kk_test(fs, zs)
    own, _, _ = _reconstruct(fs, floor.fitted, w, *options)
    trend = _running_mean(
        fs, deviation - (np.abs(floor.fitted) - own) / np.abs(floor.fitted), TREND_DECADES
    )
    back = np.empty_like(order)
    back[order] = np.arange(order.size)
    return ZhitResult(
        frequencies=f,
        impedances=z,
        modulus=modulus[back],
        phase=phase[back],
        deviation=deviation[back],
        offset=offset,
        weights=w[back],
        trend=trend[back],
        inner=_inner(fs)[back],
        noise=floor.noise,
        limit=max(MAX_NOISE_PERCENT, TREND_PER_NOISE * floor.noise),
    )
