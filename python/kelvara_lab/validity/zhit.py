"""Z-HIT: the modulus of a spectrum reconstructed from its phase (Ehm et al., Acta Chim.
Hung. 137 (2000) 145), a consistency check beside Lin-KK that needs no model.

For an impedance obeying the Kramers-Kronig relations, with x = ln(w) and phi = arg Z,

    ln|Z(x0)| = C + (2/pi) integral_{x_start}^{x0} phi dx + gamma dphi/dx (x0),

with gamma = -pi/6 the first correction term of the series. The phase is interpolated by a
spline in ln(w) (optionally smoothed first), so the integral and the derivative are the
spline's own. The constant C is fitted by weighted least squares of ln|Z| over a window in
log10(f) (by default 1 Hz to 1 kHz, the range least touched by drift or by the cell's leads;
all points when the window holds fewer than three). The deviation per point is
(|Z| - |Z_rec|) / |Z|: drift and other non-stationarity show up as a trend at low frequency.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import scipy.interpolate
import scipy.signal

from kelvara_lab.spectrum.record import load

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

CORRECTION = -math.pi / 6
INTERPOLATIONS = ("makima", "akima", "cubic", "pchip")
SMOOTHINGS = ("none", "savgol")


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

    @property
    def reconstructed(self) -> ComplexArray:
        """|Z_rec| at the measured phase, as complex impedances."""
        return np.asarray(self.modulus * np.exp(1j * self.phase), dtype=complex)

    def __str__(self) -> str:
        worst = float(np.max(np.abs(self.deviation))) if self.deviation.size else math.nan
        return (
            f"Z-HIT: {self.frequencies.size} points, largest deviation {100 * worst:.3g} % of |Z|"
        )


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


def zhit(
    data: Any,
    *,
    interpolation: str = "makima",
    smoothing: str = "none",
    smoothing_points: int = 5,
    center: float = 1.5,
    width: float = 3.0,
    weights: Any = None,
    check: bool = True,
) -> ZhitResult:
    """Reconstruct |Z| from the phase of `data` (a frame, a file path or ``(f, z)``).

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
            f"the window needs a finite center and a finite positive width (decades of "
            f"frequency), got center={center!r}, width={width!r}"
        )
    spectrum = load(data, run_checks=check)
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
    x = np.log(2 * np.pi * fs)
    phase = np.unwrap(np.angle(zs))
    if smoothing == "savgol":
        points = min(smoothing_points | 1, fs.size - (fs.size % 2 == 0))
        phase = scipy.signal.savgol_filter(phase, points, min(2, points - 1))
    spline = _spline(x, phase, interpolation)
    integral = spline.antiderivative()(x) - spline.antiderivative()(x[0])
    base = (2 / math.pi) * integral + CORRECTION * spline.derivative()(x)
    if weights is None:
        w = window_weights(fs, center, width)
    else:
        w = np.asarray(weights, dtype=float).ravel()
        if w.shape != f.shape or np.any(w < 0) or not np.any(w > 0) or not np.all(np.isfinite(w)):
            raise ValueError("weights must be finite, non-negative, not all zero, one per point")
        w = w[order]
    offset = float(np.sum(w * (np.log(np.abs(zs)) - base)) / np.sum(w))
    modulus_sorted = np.exp(base + offset)
    back = np.empty_like(order)
    back[order] = np.arange(order.size)
    modulus = modulus_sorted[back]
    return ZhitResult(
        frequencies=f,
        impedances=z,
        modulus=modulus,
        phase=phase[back],
        deviation=(np.abs(z) - modulus) / np.abs(z),
        offset=offset,
        weights=w[back],
    )
