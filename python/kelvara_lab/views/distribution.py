"""The picture of a distribution of relaxation times."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from kelvara_lab.views.axes import RESIDUAL_LABEL, grid, log_labels, scale

if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from kelvara_lab.drt import CircuitDrt, DrtResult

# Room above the tallest point for the peaks' labels, as a fraction of the curve's height.
LABEL_HEADROOM = 0.22
# How far from a peak's estimated tau its top may lie, in decades (the window's width).
PEAK_DECADES = 0.6


def summit(gamma: Any, start: int) -> int:
    """The local maximum of `gamma` reached by climbing from index `start`: a peak's marker
    belongs on its top, wherever the peak's own estimate of tau put it (a shoulder)."""
    values = np.asarray(gamma, dtype=float)
    i = start
    while True:
        left = values[i - 1] if i > 0 else -np.inf
        right = values[i + 1] if i + 1 < values.size else -np.inf
        if max(left, right) <= values[i]:
            return i
        i = i - 1 if left > right else i + 1


def peak_top(tau: Any, gamma: Any, near: float) -> int:
    """The index of the peak's top: the largest gamma within `PEAK_DECADES` of the peak's own
    tau, climbed from there to the local maximum (a shoulder nearby is not the top)."""
    grid = np.log10(np.asarray(tau, dtype=float))
    values = np.asarray(gamma, dtype=float)
    window = np.flatnonzero(np.abs(grid - np.log10(near)) <= PEAK_DECADES / 2)
    if window.size == 0:
        window = np.array([int(np.argmin(np.abs(grid - np.log10(near))))])
    return summit(values, int(window[np.argmax(values[window])]))


def drt(result: DrtResult, *, against: str = "tau", overlay: CircuitDrt | None = None) -> Figure:
    """gamma against tau (or frequency) with its peaks marked and labelled with their
    resistance and the band shaded, above the residuals (percent of |Z|); `overlay` adds the
    analytic DRT of a fitted circuit."""
    import matplotlib.pyplot as plt

    if against not in ("tau", "frequency"):
        raise ValueError(f"against must be 'tau' or 'frequency', got {against!r}")

    def x_of(tau: Any) -> Any:
        return tau if against == "tau" else 1 / (2 * np.pi * np.asarray(tau))

    fig, (top, bottom) = plt.subplots(
        2, 1, figsize=(6.5, 5.5), layout="constrained", height_ratios=(3, 1.4)
    )
    tallest = float(np.max(result.gamma, initial=0.0))
    if result.gamma_upper is not None:
        tallest = max(tallest, float(np.max(result.gamma_upper, initial=0.0)))
    div, unit = scale(tallest)
    x = x_of(result.tau)
    if result.gamma_lower is not None and result.gamma_upper is not None:
        level = f"{100 * (result.band_level or 0):.0f} % band"
        top.fill_between(
            x, result.gamma_lower / div, result.gamma_upper / div, color="0.8", label=level
        )
    top.semilogx(x, result.gamma / div, "-", lw=1.6, label=f"DRT, λ = {result.lambda_:.2g}")
    peaks = result.peaks
    if not peaks.empty:
        tops = [peak_top(result.tau, result.gamma, tau) for tau in peaks["tau"].to_numpy(float)]
        top.plot(x[tops], result.gamma[tops] / div, "v", ms=7, label="peaks")
        for i, r in zip(tops, peaks["r"].to_numpy(dtype=float), strict=True):
            top.annotate(
                f"{r / div:.3g} {unit}",
                (float(x[i]), float(result.gamma[i]) / div),
                textcoords="offset points",
                xytext=(0, 9),
                ha="center",
                fontsize=8,
            )
    if overlay is not None:
        top.semilogx(x_of(overlay.tau), overlay.gamma / div, "--", lw=1.2, label="fitted circuit")
        for tau in overlay.lines["tau"].to_numpy(dtype=float):
            top.axvline(float(x_of(tau)), color="0.4", ls=":", lw=1)
    top.set_ylim(bottom=0, top=(1 + LABEL_HEADROOM) * tallest / div if tallest > 0 else None)
    top.set_ylabel(f"γ / {unit}")
    top.set_xlabel("τ / s" if against == "tau" else "frequency / Hz")
    grid(top)
    top.legend(fontsize=8, loc="upper left" if against == "frequency" else "upper right")
    f = result.frequencies
    relative = result.residuals / np.abs(result.impedances)
    bottom.semilogx(f, 100 * relative.real, "o-", ms=3, lw=0.8, label="real")
    bottom.semilogx(f, 100 * relative.imag, "s-", ms=3, lw=0.8, label="imaginary")
    bottom.axhline(0, color="0.4", lw=0.6)
    bottom.set_xlabel("frequency / Hz")
    bottom.set_ylabel(RESIDUAL_LABEL)
    grid(bottom)
    bottom.legend(fontsize=8)
    for axis in (top.xaxis, bottom.xaxis):
        log_labels(axis)
    return fig
