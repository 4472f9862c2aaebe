"""Nyquist, Bode, residual, Lin-KK, fit and DRT pictures with matplotlib.

Every function draws onto the Axes given as ``ax=`` (one Axes, or a pair where it draws two
panels), or onto a new figure sized for the data when ``ax`` is left out, and returns the
``Figure`` it drew on, so that ``plot.kk(result).savefig("kk.png")`` works either way;
``fit`` and ``drt`` draw whole pictures of their own and take no ``ax``.
Impedances are scaled to milliohm or kiloohm where that reads better; the unit is in the
labels. Log axes carry plain numbers whatever their span: decades only over a wide span,
more ticks labelled as the span narrows.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvara_lab.io.columns import FREQUENCY, IMAGINARY, REAL, SPECTRUM

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.axis import Axis
    from matplotlib.figure import Figure, SubFigure

    from kelvara_lab.drt import CircuitDrt, DrtResult
    from kelvara_lab.fitting.report import FitReport
    from kelvara_lab.validity.kk import KKResult

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

    return plt.figure(figsize=(5.5, 4), layout="constrained").add_subplot()


def _figure(ax: Axes) -> Figure:
    # An Axes on a subfigure belongs to the subfigure, whose .figure is the root Figure
    # (a Figure's .figure is itself); callers want the one that saves.
    return ax.figure.figure


def _groups(data: Any, z: Any) -> list[tuple[str | None, FloatArray, ComplexArray]]:
    if z is None and isinstance(data, pd.DataFrame) and SPECTRUM in data.columns:
        return [(f"spectrum {int(cast(int, k))}", *_spectrum(g)) for k, g in data.groupby(SPECTRUM)]
    return [(None, *_spectrum(data, z))]


def _aspect(z: ComplexArray) -> float:
    """Height over width of a Nyquist plot of these points, with 0 in view, kept readable;
    figures size their Nyquist panel by it, so that equal scaling leaves no empty band."""
    x = z.real[np.isfinite(z)]
    y = -z.imag[np.isfinite(z)]
    if x.size == 0:
        return 1.0
    width = max(float(np.ptp(x)), 1e-300)
    height = float(max(y.max(), 0) - min(y.min(), 0))
    return float(np.clip(height / width, 0.2, 1.2))


def _nyquist_height(width: float, z: ComplexArray) -> float:
    """Inches for a Nyquist panel ``width`` inches wide: the data's aspect, plus the labels."""
    return 0.9 + (width - 0.9) * _aspect(z)


_MARKERS = "osD^vp<>"


def nyquist(
    data: Any,
    z: Any = None,
    *,
    fit: Any = None,
    ax: Axes | None = None,
    label: str | None = "data",
    fit_label: str = "fit",
) -> Figure:
    """-Im(Z) against Re(Z) with equal aspect; ``fit`` is complex impedances (or a frame) to
    draw as a line. Several spectra in a frame get one marker each. Returns the Figure."""
    groups = _groups(data, z)
    fitted = (
        None
        if fit is None
        else (
            _spectrum(fit)[1]
            if isinstance(fit, pd.DataFrame)
            else np.asarray(fit, dtype=complex).ravel()
        )
    )
    every = np.concatenate([zz for _, _, zz in groups] + ([fitted] if fitted is not None else []))
    if ax is None:
        import matplotlib.pyplot as plt

        ax = plt.figure(
            figsize=(5.5, _nyquist_height(5.5, every)), layout="constrained"
        ).add_subplot()
    div, unit = _scale(float(np.nanmax(np.abs(every))))
    several = len(groups) > 1
    for i, (name, _f, zz) in enumerate(groups):
        ax.plot(
            zz.real / div,
            -zz.imag / div,
            _MARKERS[i % len(_MARKERS)],
            ms=4.5,
            fillstyle="none" if several else "full",
            label=name or label,
        )
    if fitted is not None:
        ax.plot(fitted.real / div, -fitted.imag / div, "-", lw=1.5, label=fit_label)
    ax.set_xlabel(f"Re(Z) / {unit}")
    ax.set_ylabel(f"−Im(Z) / {unit}")
    ax.set_aspect("equal", adjustable="box")
    ax.axhline(0, color="0.6", lw=0.6)
    ax.grid(True, alpha=0.3)
    if several or fitted is not None:
        ax.legend(fontsize=8)
    return _figure(ax)


def _minor_label(value: float, decades: float) -> bool:
    """Whether a minor tick of a log axis showing ``decades`` decades gets a label. Over a
    wide span the decades say enough; over a narrow one no decade may be in view at all."""
    if decades >= 3:
        return False
    exponent = np.floor(np.log10(value))
    mantissa = value / 10**exponent
    if decades >= 1.2:
        return bool(np.isclose(mantissa, [2, 5], rtol=1e-6).any())
    if decades >= 0.5:
        return bool(np.isclose(mantissa, [2, 3, 5, 7], rtol=1e-6).any())
    # Under half a decade the locator may fall back to linear steps: label them all.
    return True


def _log_labels(axis: Axis) -> None:
    """Plain numbers on a log axis, and minor ticks labelled as the view narrows."""
    from matplotlib.ticker import FuncFormatter

    def major(v: float, _pos: object) -> str:
        return f"{v:g}"

    def minor(v: float, _pos: object) -> str:
        low, high = sorted(axis.get_view_interval())
        if not (v > 0 and low > 0):
            return ""
        return f"{v:g}" if _minor_label(v, float(np.log10(high / low))) else ""

    axis.set_major_formatter(FuncFormatter(major))
    axis.set_minor_formatter(FuncFormatter(minor))


def bode(
    data: Any,
    z: Any = None,
    *,
    fit: Any = None,
    ax: Sequence[Axes] | None = None,
) -> Figure:
    """|Z| and phase against log frequency on two Axes (``ax``: the pair, |Z| first; made,
    stacked, when not given). Returns the Figure."""
    if ax is None:
        import matplotlib.pyplot as plt

        _fig, (top, bottom) = plt.subplots(
            2, 1, sharex=True, figsize=(5.5, 5), layout="constrained"
        )
    else:
        top, bottom = ax
    groups = _groups(data, z)
    div, unit = _scale(float(np.nanmax([np.nanmax(np.abs(zz)) for _, _, zz in groups])))
    for name, f, zz in groups:
        line = top.loglog(f, np.abs(zz) / div, "o", ms=4, label=name or "data")[0]
        bottom.semilogx(f, -np.angle(zz, deg=True), "o", ms=4, color=line.get_color())
    if fit is not None:
        f0 = groups[0][1]
        fitted = (
            _spectrum(fit)[1]
            if isinstance(fit, pd.DataFrame)
            else np.asarray(fit, dtype=complex).ravel()
        )
        fit_line = top.loglog(f0, np.abs(fitted) / div, "-", lw=1.5, label="fit")[0]
        bottom.semilogx(f0, -np.angle(fitted, deg=True), "-", lw=1.5, color=fit_line.get_color())
    _log_labels(top.yaxis)
    for a in (top, bottom):
        _log_labels(a.xaxis)
    top.set_ylabel(f"|Z| / {unit}")
    bottom.set_ylabel("−phase / °")
    bottom.set_xlabel("frequency / Hz")
    for a in (top, bottom):
        a.grid(True, which="major", alpha=0.35)
        a.grid(True, which="minor", alpha=0.1)
    if len(groups) > 1 or fit is not None:
        top.legend(fontsize=8)
    return _figure(top)


def residuals(result: KKResult | FitReport, *, ax: Axes | None = None) -> Figure:
    """Residuals in percent of |Z|, real and imaginary, against log frequency: of a Lin-KK
    test (with its noise band) or of a fit (``FitReport``: (Z - Z_fit) / |Z|). Returns the
    Figure."""
    from kelvara_lab.validity.kk import KKResult

    ax = _axes(ax)
    if isinstance(result, KKResult):
        f = result.frequencies
        real, imag = 100 * result.residuals_real, 100 * result.residuals_imag
        band = result.noise
        ax.axhspan(-band, band, color="0.85", zorder=0, label=f"±{band:.2g} % noise estimate")
        verdict = "pass" if result.passed else "fail"
        title = f"Lin-KK: {verdict}, M = {result.num_rc}, μ = {result.mu:.2f}"
    else:
        f = result.frequencies
        z = result.impedances
        relative = 100 * (z - result.impedance()) / np.abs(z)
        real, imag = relative.real, relative.imag
        title = f"fit residuals, {result.circuit}"
    ax.semilogx(f, real, "o-", ms=3.5, lw=0.8, label="real")
    ax.semilogx(f, imag, "s-", ms=3.5, lw=0.8, label="imaginary")
    ax.axhline(0, color="0.4", lw=0.6)
    _log_labels(ax.xaxis)
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel("residual / % of |Z|")
    ax.set_title(title, fontsize=10)
    ax.grid(True, which="major", alpha=0.35)
    ax.grid(True, which="minor", alpha=0.1)
    ax.legend(fontsize=8)
    return _figure(ax)


def kk(result: KKResult, *, ax: Sequence[Axes] | None = None) -> Figure:
    """The data with the Lin-KK fit (Nyquist) above its residuals (``ax``: the pair).
    Returns the Figure."""
    if ax is None:
        import matplotlib.pyplot as plt

        height = _nyquist_height(5.5, np.concatenate([result.impedances, result.fitted]))
        _fig, (top, bottom) = plt.subplots(
            2,
            1,
            figsize=(5.5, height + 3),
            layout="constrained",
            height_ratios=(height, 3),
        )
    else:
        top, bottom = ax
    nyquist(
        result.frequencies, result.impedances, fit=result.fitted, ax=top, fit_label="Lin-KK fit"
    )
    residuals(result, ax=bottom)
    return _figure(top)


def fit(report: FitReport, *, figure: Figure | SubFigure | None = None) -> Figure:
    """The picture of a fit: Nyquist above the residuals on the left, |Z| and phase on the
    right, data as markers and the fit as lines. ``figure`` draws into a given (empty)
    figure or subfigure. Returns the Figure."""
    fitted = report.impedance()
    width = 5.5
    nyquist_height = _nyquist_height(width, np.concatenate([report.impedances, fitted]))
    if figure is None:
        import matplotlib.pyplot as plt

        figure = plt.figure(figsize=(2 * width, nyquist_height + 3.2), layout="constrained")
    left, right = figure.subfigures(1, 2, width_ratios=[1, 1])  # type: ignore[misc]
    nyquist_ax, residual_ax = left.subplots(2, 1, height_ratios=(nyquist_height, 2.6))
    top, bottom = right.subplots(2, 1, sharex=True)
    nyquist(report.frequencies, report.impedances, fit=fitted, ax=nyquist_ax)
    residuals(report, ax=residual_ax)
    bode(report.frequencies, report.impedances, fit=fitted, ax=(top, bottom))
    figure.suptitle(f"{report.circuit}   reduced chi-square {report.reduced_chi_square:.3g}")
    return _figure(nyquist_ax)


def drt(result: DrtResult, *, against: str = "tau", overlay: CircuitDrt | None = None) -> Figure:
    """gamma against tau (or frequency) with its peaks marked and the band shaded, above the
    residuals (percent of |Z|); `overlay` adds the analytic DRT of a fitted circuit."""
    import matplotlib.pyplot as plt

    if against not in ("tau", "frequency"):
        raise ValueError(f"against must be 'tau' or 'frequency', got {against!r}")

    def x_of(tau: Any) -> Any:
        return tau if against == "tau" else 1 / (2 * np.pi * np.asarray(tau))

    fig, (top, bottom) = plt.subplots(
        2, 1, figsize=(6.5, 5.5), layout="constrained", height_ratios=(3, 1.4)
    )
    div, unit = _scale(float(np.max(result.gamma, initial=0.0)))
    x = x_of(result.tau)
    if result.gamma_lower is not None and result.gamma_upper is not None:
        level = f"{100 * (result.band_level or 0):.0f} %"
        top.fill_between(
            x, result.gamma_lower / div, result.gamma_upper / div, color="0.8", label=level
        )
    top.semilogx(x, result.gamma / div, "-", lw=1.6, label=f"DRT, λ = {result.lambda_:.2g}")
    peaks = result.peaks
    if not peaks.empty:
        top.plot(x_of(peaks["tau"]), peaks["gamma"] / div, "v", ms=7, label="peaks")
        columns = (peaks[name].to_numpy(dtype=float) for name in ("tau", "gamma", "r"))
        for tau, height, r in zip(*columns, strict=True):
            top.annotate(
                f"{r / div:.3g} {unit}",
                (float(x_of(tau)), height / div),
                textcoords="offset points",
                xytext=(0, 8),
                ha="center",
                fontsize=8,
            )
    if overlay is not None:
        top.semilogx(x_of(overlay.tau), overlay.gamma / div, "--", lw=1.2, label="fitted circuit")
        for tau in overlay.lines["tau"].to_numpy(dtype=float):
            top.axvline(float(x_of(tau)), color="0.4", ls=":", lw=1)
    top.set_ylabel(f"γ / {unit}")
    top.set_xlabel("τ / s" if against == "tau" else "frequency / Hz")
    top.grid(True, which="major", alpha=0.35)
    top.legend(fontsize=8)
    f = result.frequencies
    relative = result.residuals / np.abs(result.impedances)
    bottom.semilogx(f, 100 * relative.real, "o-", ms=3, lw=0.8, label="real")
    bottom.semilogx(f, 100 * relative.imag, "s-", ms=3, lw=0.8, label="imaginary")
    bottom.axhline(0, color="0.4", lw=0.6)
    bottom.set_xlabel("frequency / Hz")
    bottom.set_ylabel("residual / %")
    bottom.grid(True, which="major", alpha=0.35)
    bottom.legend(fontsize=8)
    for axis in (top.xaxis, bottom.xaxis):
        _log_labels(axis)
    return fig


def candidates(table: pd.DataFrame, title: str = "") -> Figure:
    """The three best circuits of an `identify` table over the data: Nyquist and |Z|."""
    import matplotlib.pyplot as plt

    best = [r for r in table["report"].head(3) if r is not None]
    if not best:
        raise ValueError("the table holds no fitted circuit to draw")
    f, z = best[0].frequencies, best[0].impedances
    fig, (left, right) = plt.subplots(1, 2, figsize=(11, 4.6), layout="constrained")
    nyquist(f, z, ax=left)
    div, _ = _scale(float(abs(z).max()))
    for rank, report in enumerate(best, start=1):
        fitted = report.impedance()
        label = f"#{rank} {report.circuit}"
        left.plot(fitted.real / div, -fitted.imag / div, "-", lw=1.4, label=label)
        right.loglog(f, abs(fitted), "-", lw=1.4, label=label)
    right.loglog(f, abs(z), "o", ms=4, color="0.3", label="data")
    right.set_xlabel("frequency / Hz")
    right.set_ylabel("|Z| / Ω")
    right.grid(True, which="both", alpha=0.3)
    left.legend(fontsize=7)
    right.legend(fontsize=7)
    fig.suptitle(title, fontsize=9)
    return fig
