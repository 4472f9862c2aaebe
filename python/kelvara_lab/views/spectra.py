"""Pictures of spectra themselves: Nyquist and Bode, and the same data as admittance or as
complex capacitance."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from kelvara_lab.views.axes import (
    MARKERS,
    figure_of,
    grid,
    groups,
    impedances,
    log_labels,
    nyquist_height,
    scale,
)

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure


def nyquist(
    data: Any,
    z: Any = None,
    *,
    fit: Any = None,
    ax: Axes | None = None,
    label: str | None = "data",
    fit_label: str = "fit",
    quantity: str = "Z",
) -> Figure:
    """-Im(Z) against Re(Z) with equal aspect; ``fit`` is complex impedances (or a frame) to
    draw as a line. Several spectra in a frame get one marker each. ``quantity`` "Y" draws
    admittances (then ``data``'s values are taken as given, in siemens). Returns the Figure."""
    parts = groups(data, z)
    fitted = None if fit is None else impedances(fit)
    every = np.concatenate([zz for _, _, zz in parts] + ([fitted] if fitted is not None else []))
    if ax is None:
        import matplotlib.pyplot as plt

        ax = plt.figure(
            figsize=(5.5, nyquist_height(5.5, every)), layout="constrained"
        ).add_subplot()
    div, unit = scale(float(np.nanmax(np.abs(every))), "Ω" if quantity == "Z" else "S")
    several = len(parts) > 1
    for i, (name, _f, zz) in enumerate(parts):
        ax.plot(
            zz.real / div,
            -zz.imag / div if quantity == "Z" else zz.imag / div,
            MARKERS[i % len(MARKERS)],
            ms=4.5,
            fillstyle="none" if several else "full",
            label=name or label,
        )
    if fitted is not None:
        ax.plot(fitted.real / div, -fitted.imag / div, "-", lw=1.5, label=fit_label)
    ax.set_xlabel(f"Re({quantity}) / {unit}")
    ax.set_ylabel(f"−Im(Z) / {unit}" if quantity == "Z" else f"Im({quantity}) / {unit}")
    ax.set_aspect("equal", adjustable="box")
    ax.axhline(0, color="0.6", lw=0.6)
    ax.grid(True, alpha=0.3)
    if several or fitted is not None:
        ax.legend(fontsize=8)
    return figure_of(ax)


def bode(
    data: Any,
    z: Any = None,
    *,
    fit: Any = None,
    ax: Sequence[Axes] | None = None,
    quantity: str = "Z",
) -> Figure:
    """|Z| and phase against log frequency on two Axes (``ax``: the pair, |Z| first; made,
    stacked, when not given). ``fit`` is impedances at the data's frequencies, or a pair
    ``(f, z)`` of its own. ``quantity`` "Y" labels admittances. Returns the Figure."""
    if ax is None:
        import matplotlib.pyplot as plt

        _fig, (top, bottom) = plt.subplots(
            2, 1, sharex=True, figsize=(5.5, 5), layout="constrained"
        )
    else:
        top, bottom = ax
    parts = groups(data, z)
    sign = -1 if quantity == "Z" else 1
    unit_name = "Ω" if quantity == "Z" else "S"
    div, unit = scale(float(np.nanmax([np.nanmax(np.abs(zz)) for _, _, zz in parts])), unit_name)
    fill = "none" if len(parts) > 1 else "full"
    for i, (name, f, zz) in enumerate(parts):
        marker = MARKERS[i % len(MARKERS)]
        line = top.loglog(f, np.abs(zz) / div, marker, ms=4, fillstyle=fill, label=name or "data")
        bottom.semilogx(
            f,
            sign * np.angle(zz, deg=True),
            marker,
            ms=4,
            fillstyle=fill,
            color=line[0].get_color(),
        )
    if fit is not None:
        # A pair (f, z) draws the fit on its own frequencies (a smooth curve), else on the data's.
        f0, fitted = fit if isinstance(fit, tuple) else (parts[0][1], impedances(fit))
        fit_line = top.loglog(f0, np.abs(fitted) / div, "-", lw=1.5, label="fit")[0]
        bottom.semilogx(
            f0, sign * np.angle(fitted, deg=True), "-", lw=1.5, color=fit_line.get_color()
        )
    log_labels(top.yaxis)
    for a in (top, bottom):
        log_labels(a.xaxis)
        grid(a)
    top.set_ylabel(f"|{quantity}| / {unit}")
    bottom.set_ylabel("−phase / °" if quantity == "Z" else "phase / °")
    bottom.set_xlabel("frequency / Hz")
    if len(parts) > 1 or fit is not None:
        top.legend(fontsize=8)
    return figure_of(top)


def _nyquist_and_bode(data: Any, quantity: str) -> Figure:
    """Nyquist on the left, |X| and phase on the right, for X the given quantity."""
    import matplotlib.pyplot as plt

    every = np.concatenate([zz for _, _, zz in groups(data, None)])
    height = max(nyquist_height(5.0, every if quantity == "Z" else np.conj(every)), 4.6)
    figure = plt.figure(figsize=(10.5, height), layout="constrained")
    left, right = figure.subfigures(1, 2, width_ratios=[1, 1])  # type: ignore[misc]
    nyquist(data, ax=left.subplots(), quantity=quantity)
    bode(data, ax=right.subplots(2, 1, sharex=True), quantity=quantity)
    return figure


def spectrum(data: Any, z: Any = None) -> Figure:
    """The data alone: Nyquist beside |Z| and phase (a frame of several spectra: all)."""
    return _nyquist_and_bode(data if z is None else (data, z), "Z")


def _transformed(data: Any, z: Any, transform: Any) -> Any:
    import pandas as pd

    from kelvara_lab.io.columns import FREQUENCY, IMAGINARY, REAL, SPECTRUM

    out = []
    for name, f, zz in groups(data, z):
        values = transform(f, zz)
        part = {FREQUENCY: f, REAL: values.real, IMAGINARY: values.imag}
        if name is not None:
            part[SPECTRUM] = np.full(f.size, int(name.split()[-1]))
        out.append(pd.DataFrame(part))
    return pd.concat(out, ignore_index=True)


def admittance(data: Any, z: Any = None) -> Figure:
    """The admittance Y = 1/Z: Im(Y) against Re(Y), and |Y| and its phase against frequency."""
    return _nyquist_and_bode(_transformed(data, z, lambda _f, zz: 1 / zz), "Y")


def capacitance(data: Any, z: Any = None) -> Figure:
    """The complex capacitance C = 1/(j w Z): C' and -C'' against frequency (log-log), where a
    dielectric relaxation shows as a step in C' and a peak in -C''; negative values (C' of
    inductive points) are left out."""
    import matplotlib.pyplot as plt

    figure, ax = plt.subplots(figsize=(6, 4.2), layout="constrained")
    parts = groups(data, z)
    values = [1 / (2j * np.pi * f * zz) for _, f, zz in parts]
    largest = float(np.nanmax([np.nanmax(np.abs(c)) for c in values]))
    div, unit = (1.0, "F") if largest >= 1 else (1e-3, "mF") if largest >= 1e-3 else (1e-6, "µF")
    if largest < 1e-6:
        div, unit = 1e-9, "nF"
    for i, ((name, f, _zz), c) in enumerate(zip(parts, values, strict=True)):
        marker = MARKERS[i % len(MARKERS)]
        suffix = f", {name}" if name else ""
        # A log axis holds positive values only: an inductive point's negative C' is left out.
        positive = np.where(c.real > 0, c.real, np.nan)
        line = ax.loglog(f, positive / div, marker, ms=4, label=f"C′{suffix}")[0]
        ax.loglog(
            f,
            np.where(-c.imag > 0, -c.imag, np.nan) / div,
            marker,
            ms=4,
            fillstyle="none",
            color=line.get_color(),
            label=f"−C″{suffix}",
        )
    log_labels(ax.xaxis)
    log_labels(ax.yaxis)
    grid(ax)
    ax.set_xlabel("frequency / Hz")
    ax.set_ylabel(f"capacitance / {unit}")
    ax.legend(fontsize=8)
    return figure
