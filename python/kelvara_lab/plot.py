"""Nyquist, Bode, residual and Lin-KK plots on matplotlib Axes.

Each function draws onto the Axes it is given (or new ones) and returns them. Impedances
are scaled to milliohm or kiloohm where that reads better; the unit is in the labels.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvara_lab.columns import FREQUENCY, IMAGINARY, REAL, SPECTRUM

if TYPE_CHECKING:
    from matplotlib.axes import Axes

    from kelvara_lab.kk import KKResult

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]


def _spectrum(data: Any, z: Any = None) -> tuple[FloatArray, ComplexArray]:
    if z is None and isinstance(data, pd.DataFrame):
        f = data[FREQUENCY].to_numpy(dtype=float)
        return f, data[REAL].to_numpy(dtype=float) + 1j * data[IMAGINARY].to_numpy(dtype=float)
    if z is None:
        raise TypeError("expected frequencies and impedances, or a BDF frame")
    return np.asarray(data, dtype=float).ravel(), np.asarray(z, dtype=complex).ravel()


def _scale(magnitude: float) -> tuple[float, str]:
    """(divisor, unit) so that values of this size read as plain numbers."""
    if magnitude >= 1e4:
        return 1e3, "kΩ"
    if 0 < magnitude < 1:
        return 1e-3, "mΩ"
    return 1.0, "Ω"


def _axes(ax: Axes | None) -> Axes:
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    return plt.figure(figsize=(5, 4.5), layout="constrained").add_subplot()


def _groups(data: Any, z: Any) -> list[tuple[str | None, FloatArray, ComplexArray]]:
    if z is None and isinstance(data, pd.DataFrame) and SPECTRUM in data.columns:
        return [(f"spectrum {int(k)}", *_spectrum(g))  # type: ignore[call-overload]
                for k, g in data.groupby(SPECTRUM)]
    return [(None, *_spectrum(data, z))]


def nyquist(
    data: Any,
    z: Any = None,
    *,
    fit: Any = None,
    ax: Axes | None = None,
    label: str | None = "data",
    fit_label: str = "fit",
) -> Axes:
    """-Im(Z) against Re(Z) with equal aspect; ``fit`` is complex impedances at the same
    frequencies (or a frame)."""
    ax = _axes(ax)
    groups = _groups(data, z)
    fitted = None if fit is None else (_spectrum(fit)[1] if isinstance(fit, pd.DataFrame)
                                       else np.asarray(fit, dtype=complex).ravel())
    every = np.concatenate([zz for _, _, zz in groups] + ([fitted] if fitted is not None else []))
    div, unit = _scale(float(np.nanmax(np.abs(every))))
    for name, _f, zz in groups:
        ax.plot(zz.real / div, -zz.imag / div, "o", ms=4, label=name or label)
    if fitted is not None:
        ax.plot(fitted.real / div, -fitted.imag / div, "-", lw=1.5, label=fit_label)
    ax.set_xlabel(f"Re(Z) / {unit}")
    ax.set_ylabel(f"−Im(Z) / {unit}")
    ax.set_aspect("equal", adjustable="datalim")
    ax.axhline(0, color="0.6", lw=0.6)
    ax.grid(True, alpha=0.3)
    if len(groups) > 1 or fitted is not None:
        ax.legend()
    return ax


def bode(
    data: Any,
    z: Any = None,
    *,
    fit: Any = None,
    ax: Sequence[Axes] | None = None,
) -> tuple[Axes, Axes]:
    """|Z| and phase against log frequency on two Axes (made, stacked, when not given)."""
    if ax is None:
        import matplotlib.pyplot as plt

        fig, (top, bottom) = plt.subplots(2, 1, sharex=True, figsize=(5.5, 5), layout="constrained")
    else:
        top, bottom = ax
    groups = _groups(data, z)
    div, unit = _scale(float(np.nanmax([np.nanmax(np.abs(zz)) for _, _, zz in groups])))
    for name, f, zz in groups:
        line = top.loglog(f, np.abs(zz) / div, "o", ms=4, label=name or "data")[0]
        bottom.semilogx(f, -np.angle(zz, deg=True), "o", ms=4, color=line.get_color())
    if fit is not None:
        f0 = groups[0][1]
        fitted = (_spectrum(fit)[1] if isinstance(fit, pd.DataFrame)
                  else np.asarray(fit, dtype=complex).ravel())
        top.loglog(f0, np.abs(fitted) / div, "-", lw=1.5, label="fit")
        bottom.semilogx(f0, -np.angle(fitted, deg=True), "-", lw=1.5)
    top.set_ylabel(f"|Z| / {unit}")
    bottom.set_ylabel("−phase / °")
    bottom.set_xlabel("frequency / Hz")
    for a in (top, bottom):
        a.grid(True, which="both", alpha=0.3)
    if len(groups) > 1 or fit is not None:
        top.legend()
    return top, bottom


def residuals(result: KKResult, *, ax: Axes | None = None) -> Axes:
    """Lin-KK residuals (percent of |Z|) against log frequency, with the noise band."""
    ax = _axes(ax)
    f = result.frequencies
    ax.semilogx(f, 100 * result.residuals_real, "o-", ms=3.5, lw=0.8, label="real")
    ax.semilogx(f, 100 * result.residuals_imag, "s-", ms=3.5, lw=0.8, label="imaginary")
    band = result.noise
    ax.axhspan(-band, band, color="0.85", zorder=0, label=f"±{band:.2g} % noise estimate")
    ax.axhline(0, color="0.4", lw=0.6)
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel("residual / % of |Z|")
    verdict = "pass" if result.passed else "fail"
    ax.set_title(f"Lin-KK: {verdict}, M = {result.num_rc}, μ = {result.mu:.2f}", fontsize=10)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    return ax


def kk(result: KKResult, *, ax: Sequence[Axes] | None = None) -> tuple[Axes, Axes]:
    """The data with the Lin-KK fit (Nyquist) above its residuals."""
    if ax is None:
        import matplotlib.pyplot as plt

        fig, (top, bottom) = plt.subplots(2, 1, figsize=(5.5, 7), layout="constrained",
                                          height_ratios=(3, 2))
    else:
        top, bottom = ax
    nyquist(result.frequencies, result.impedances, fit=result.fitted, ax=top,
            fit_label="Lin-KK fit")
    residuals(result, ax=bottom)
    return top, bottom
