"""Pictures of a test or a fit against its data: residuals, Lin-KK, Z-HIT, a fitted circuit."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

import numpy as np

from kelvara_lab.views.axes import (
    RESIDUAL_LABEL,
    figure_of,
    grid,
    log_labels,
    new_axes,
    nyquist_height,
    scale,
)
from kelvara_lab.views.spectra import bode, nyquist

# Points on which a fitted model is drawn.
SMOOTH_POINTS = 400

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure, SubFigure

    from kelvara_lab.fitting.report import FitReport
    from kelvara_lab.validity.kk import KKResult
    from kelvara_lab.validity.zhit import ZhitResult


def residuals(result: KKResult | FitReport, *, ax: Axes | None = None) -> Figure:
    """Residuals in percent of |Z|, real and imaginary, against log frequency: of a Lin-KK
    test (with its noise band) or of a fit (``FitReport``: (Z - Z_fit) / |Z|). Returns the
    Figure."""
    from kelvara_lab.validity.kk import KKResult

    ax = new_axes(ax)
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
    # Room above the points for the legend, which then covers none of them.
    largest = float(np.nanmax(np.abs(np.concatenate([real, imag]))))
    if np.isfinite(largest) and largest > 0:
        ax.set_ylim(-1.15 * largest, 1.75 * largest)
    log_labels(ax.xaxis)
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel(RESIDUAL_LABEL)
    ax.set_title(title, fontsize=10)
    grid(ax)
    ax.legend(fontsize=8, ncol=3, loc="upper center")
    return figure_of(ax)


def kk(result: KKResult, *, ax: Sequence[Axes] | None = None) -> Figure:
    """The data with the Lin-KK fit (Nyquist) above its residuals (``ax``: the pair).
    Returns the Figure."""
    if ax is None:
        import matplotlib.pyplot as plt

        height = nyquist_height(5.5, np.concatenate([result.impedances, result.fitted]))
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
    return figure_of(top)


def fit(report: FitReport, *, figure: Figure | SubFigure | None = None) -> Figure:
    """The picture of a fit: Nyquist above the residuals on the left, |Z| and phase on the
    right, data as markers and the fit as lines. ``figure`` draws into a given (empty)
    figure or subfigure. Returns the Figure."""
    fitted = report.impedance()
    width = 5.5
    height = nyquist_height(width, np.concatenate([report.impedances, fitted]))
    if figure is None:
        import matplotlib.pyplot as plt

        figure = plt.figure(figsize=(2 * width, height + 3.2), layout="constrained")
    left, right = figure.subfigures(1, 2, width_ratios=[1, 1])  # type: ignore[misc]
    nyquist_ax, residual_ax = left.subplots(2, 1, height_ratios=(height, 2.6))
    top, bottom = right.subplots(2, 1, sharex=True)
    # The model drawn as a smooth curve over the data's window, not a polyline through it.
    f = report.frequencies[np.isfinite(report.frequencies) & (report.frequencies > 0)]
    dense = np.logspace(np.log10(f.min()), np.log10(f.max()), SMOOTH_POINTS)
    curve = report.impedance(dense)
    nyquist(report.frequencies, report.impedances, fit=curve, ax=nyquist_ax)
    residuals(report, ax=residual_ax)
    bode(report.frequencies, report.impedances, fit=(dense, curve), ax=(top, bottom))
    figure.suptitle(f"{report.circuit}   reduced chi-square {report.reduced_chi_square:.3g}")
    return figure_of(nyquist_ax)


def zhit(result: ZhitResult) -> Figure:
    """Z-HIT: |Z| measured and rebuilt from the phase, with the phase, above the deviation in
    percent of |Z| (the band: the limit the verdict uses; the offset window shaded)."""
    import matplotlib.pyplot as plt

    figure, (top, bottom) = plt.subplots(
        2, 1, sharex=True, figsize=(6.5, 6.4), layout="constrained", height_ratios=(3, 2.4)
    )
    order = np.argsort(result.frequencies)
    f = result.frequencies[order]
    measured = np.abs(result.impedances[order])
    div, unit = scale(float(measured.max()))
    top.loglog(f, measured / div, "o", ms=4, label="|Z| measured")
    top.loglog(f, result.modulus[order] / div, "-", lw=1.5, label="|Z| from the phase")
    phase_ax = top.twinx()
    phase_ax.semilogx(
        f,
        -np.degrees(result.phase[order]),
        "s",
        ms=3,
        color="0.55",
        fillstyle="none",
        label="−phase",
    )
    phase_ax.set_ylabel("−phase / °", color="0.4")
    top.set_ylabel(f"|Z| / {unit}")
    lines = top.get_legend_handles_labels()
    extra = phase_ax.get_legend_handles_labels()
    top.legend(lines[0] + extra[0], lines[1] + extra[1], fontsize=8)
    log_labels(top.yaxis)
    grid(top)
    inside = result.weights[order] > 0
    if not inside.all():
        bottom.axvspan(
            f[inside].min(),
            f[inside].max(),
            color="C0",
            alpha=0.07,
            zorder=0,
            label="offset window",
        )
    band = result.limit
    bottom.axhspan(-band, band, color="0.85", zorder=0, label=f"±{band:.3g} % limit on the trend")
    inner = result.inner[order]
    deviation = 100 * result.deviation[order]
    bottom.semilogx(f[inner], deviation[inner], "o", ms=3.5, color="C0", label="deviation")
    bottom.semilogx(
        f[~inner],
        deviation[~inner],
        "o",
        ms=3.5,
        color="C0",
        fillstyle="none",
        label="end points (not judged)",
    )
    bottom.semilogx(
        f,
        100 * result.trend[order],
        "-",
        lw=1.8,
        color="C3",
        label="trend (method's own error removed)",
    )
    bottom.axhline(0, color="0.4", lw=0.6)
    bottom.set_xlabel("frequency / Hz")
    bottom.set_ylabel("deviation / % of |Z|")
    verdict = "pass" if result.passed else "FAIL"
    bottom.set_title(
        f"Z-HIT {verdict}: trend {result.systematic:.3g} % of |Z|, limit {result.limit:.3g} %",
        fontsize=9,
    )
    log_labels(bottom.xaxis)
    grid(bottom)
    bottom.legend(fontsize=7, ncol=3, loc="upper center", bbox_to_anchor=(0.5, -0.3))
    return figure
