"""The picture of an ``identify`` table: the best circuits against the data."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np

from kelvara_lab.views.axes import LINES, grid, log_labels, nyquist_height, scale

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.figure import Figure

SHOWN = 3


def candidates(table: pd.DataFrame, title: str = "") -> Figure:
    """The best three circuits of an `identify` table over the data: Nyquist, |Z|, phase and
    each fit's residuals, in one unit throughout; each circuit keeps its colour and line
    style in every panel, so that fits that overlap still read apart."""
    import matplotlib.pyplot as plt

    best = [(rank, r) for rank, r in zip(table.index, table["report"], strict=True)][:SHOWN]
    best = [(rank, r) for rank, r in best if r is not None]
    if not best:
        raise ValueError("the table holds no fitted circuit to draw")
    f, z = best[0][1].frequencies, best[0][1].impedances
    div, unit = scale(float(np.abs(z).max()))
    height = max(nyquist_height(5.2, z), 3.6)
    fig = plt.figure(figsize=(11, height + 3.4), layout="constrained")
    grid_spec = fig.add_gridspec(2, 2, height_ratios=(height, 3.2))
    nyquist_ax = fig.add_subplot(grid_spec[0, 0])
    residual_ax = fig.add_subplot(grid_spec[1, 0])
    right = grid_spec[:, 1].subgridspec(2, 1, hspace=0.05)
    modulus_ax = fig.add_subplot(right[0])
    phase_ax = fig.add_subplot(right[1], sharex=modulus_ax)
    data_style: dict[str, Any] = {
        "ms": 4.5,
        "color": "0.25",
        "ls": "none",
        "marker": "o",
        "label": "data",
    }
    nyquist_ax.plot(z.real / div, -z.imag / div, **data_style)
    modulus_ax.loglog(f, np.abs(z) / div, **data_style)
    phase_ax.semilogx(f, -np.angle(z, deg=True), **data_style)
    dense = np.logspace(np.log10(f.min()), np.log10(f.max()), 400)  # smooth model curves
    for i, (rank, report) in enumerate(best):
        fitted = report.impedance()
        curve = report.impedance(dense)
        style: dict[str, Any] = {
            "ls": LINES[i % len(LINES)],
            "lw": 2.0 - 0.35 * i,
            "color": f"C{i}",
        }
        label = f"#{rank} {report.circuit}"
        nyquist_ax.plot(curve.real / div, -curve.imag / div, label=label, **style)
        modulus_ax.loglog(dense, np.abs(curve) / div, label=label, **style)
        phase_ax.semilogx(dense, -np.angle(curve, deg=True), **style)
        relative = 100 * np.abs(z - fitted) / np.abs(z)
        residual_ax.semilogx(f, relative, marker="o", ms=3, label=label, **style)
    nyquist_ax.set_aspect("equal", adjustable="box")
    nyquist_ax.set_xlabel(f"Re(Z) / {unit}")
    nyquist_ax.set_ylabel(f"−Im(Z) / {unit}")
    nyquist_ax.axhline(0, color="0.6", lw=0.6)
    nyquist_ax.grid(True, alpha=0.3)
    nyquist_ax.legend(fontsize=7)
    residual_ax.set_xlabel("frequency / Hz")
    residual_ax.set_ylabel("|Z − Z_fit| / % of |Z|")
    residual_ax.set_ylim(bottom=0)
    modulus_ax.set_ylabel(f"|Z| / {unit}")
    modulus_ax.tick_params(labelbottom=False)
    phase_ax.set_ylabel("−phase / °")
    phase_ax.set_xlabel("frequency / Hz")
    for ax in (residual_ax, modulus_ax, phase_ax):
        log_labels(ax.xaxis)
        grid(ax)
    log_labels(modulus_ax.yaxis)
    modulus_ax.legend(fontsize=7)
    if title:
        fig.suptitle(title, fontsize=10)
    return fig
