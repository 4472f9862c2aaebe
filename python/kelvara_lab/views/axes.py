"""What every picture shares: spectra as arrays, units that read as plain numbers, figure
sizes that follow the data, and log axes labelled for the span they show."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvara_lab.io.columns import SPECTRUM

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.axis import Axis
    from matplotlib.figure import Figure

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

MARKERS = "osD^vp<>"
# Line styles that stay apart in grey print as well as in colour, for fits drawn together.
LINES = ("-", "--", "-.", ":")
RESIDUAL_LABEL = "residual / % of |Z|"


def arrays(data: Any, z: Any = None) -> tuple[FloatArray, ComplexArray]:
    """(frequencies, impedances) of any form a spectrum takes: ``f, z``, a pair, a frame or a
    file path."""
    if z is not None:
        return np.asarray(data, dtype=float).ravel(), np.asarray(z, dtype=complex).ravel()
    from kelvara_lab.spectrum.record import load

    spectrum = load(data, run_checks=False)
    return spectrum.frequencies, spectrum.impedances


def impedances(fit: Any) -> ComplexArray:
    """Complex impedances given as an array, or as a frame's columns."""
    if isinstance(fit, pd.DataFrame):
        return arrays(fit)[1]
    return np.asarray(fit, dtype=complex).ravel()


def groups(data: Any, z: Any) -> list[tuple[str | None, FloatArray, ComplexArray]]:
    """(label, f, z) per spectrum: a frame with a "Spectrum" column holds several."""
    if z is None and isinstance(data, pd.DataFrame) and SPECTRUM in data.columns:
        return [
            (f"spectrum {int(cast(int, k))}", *arrays(g.drop(columns=[SPECTRUM])))
            for k, g in data.groupby(SPECTRUM)
        ]
    return [(None, *arrays(data, z))]


def scale(magnitude: float, unit: str = "Ω") -> tuple[float, str]:
    """(divisor, unit) so that values of this size read as plain numbers."""
    if magnitude >= 1e4:
        return 1e3, f"k{unit}"
    if 0 < magnitude < 1:
        return 1e-3, f"m{unit}"
    return 1.0, unit


def new_axes(ax: Axes | None) -> Axes:
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt

    return plt.figure(figsize=(5.5, 4), layout="constrained").add_subplot()


def figure_of(ax: Axes) -> Figure:
    # An Axes on a subfigure belongs to the subfigure, whose .figure is the root Figure
    # (a Figure's .figure is itself); callers want the one that saves.
    return ax.figure.figure


def aspect(z: ComplexArray) -> float:
    """Height over width of a Nyquist plot of these points, with 0 in view, kept readable;
    figures size their Nyquist panel by it, so that equal scaling leaves no empty band."""
    x = z.real[np.isfinite(z)]
    y = -z.imag[np.isfinite(z)]
    if x.size == 0:
        return 1.0
    width = max(float(np.ptp(x)), 1e-300)
    height = float(max(y.max(), 0) - min(y.min(), 0))
    return float(np.clip(height / width, 0.2, 1.2))


def nyquist_height(width: float, z: ComplexArray) -> float:
    """Inches for a Nyquist panel ``width`` inches wide: the data's aspect, plus the labels."""
    return 0.9 + (width - 0.9) * aspect(z)


def tick_text(value: float) -> str:
    """A tick label: plain numbers from 0.001 to 9999, powers of ten as 10^n beyond."""
    if value <= 0:
        return ""
    exponent = float(np.log10(value))
    if (value < 1e-3 or value >= 1e4) and np.isclose(exponent, round(exponent), atol=1e-9):
        return f"$10^{{{round(exponent)}}}$"
    return f"{value:g}"


def _minor_label(value: float, decades: float) -> bool:
    """Whether a minor tick of a log axis showing ``decades`` decades gets a label. Over a
    wide span the decades say enough; over a narrow one no decade may be in view at all."""
    if decades >= 3:
        return False
    exponent = np.floor(np.log10(value))
    mantissa = value / 10**exponent
    if decades >= 1.2:
        return bool(np.isclose(mantissa, [2, 5], rtol=1e-6).any())
    return bool(np.isclose(mantissa, [2, 3, 5, 7], rtol=1e-6).any())


# Under this many decades a log axis gets evenly spaced round values instead of decades.
NARROW_DECADES = 0.6


def _span_locator(minor: bool) -> Any:
    """Log ticks for a wide span; for a narrow one, round values (major) and none (minor)."""
    from matplotlib.ticker import LogLocator, MaxNLocator

    class SpanLocator(LogLocator):
        def tick_values(self, vmin: float, vmax: float) -> Any:
            low, high = float(min(vmin, vmax)), float(max(vmin, vmax))
            if low > 0 and np.log10(high / low) < NARROW_DECADES:
                if minor:
                    return np.array([])
                ticks = np.asarray(MaxNLocator(5).tick_values(low, high), dtype=float)
                return ticks[ticks > 0]
            return super().tick_values(vmin, vmax)

    return SpanLocator(base=10, subs="auto" if minor else (1.0,))


def log_labels(axis: Axis) -> None:
    """Numbers on a log axis for the span it shows: decades over a wide span, more labelled
    ticks as it narrows, and under `NARROW_DECADES` evenly spaced round values (a log axis of
    |Z| from 21 to 48 would otherwise label only 30 and 40)."""
    from matplotlib.ticker import FuncFormatter

    def minor(v: float, _pos: object) -> str:
        low, high = sorted(axis.get_view_interval())
        if not (v > 0 and low > 0):
            return ""
        decades = float(np.log10(high / low))
        return tick_text(v) if _minor_label(v, decades) else ""

    axis.set_major_locator(_span_locator(minor=False))
    axis.set_minor_locator(_span_locator(minor=True))
    axis.set_major_formatter(FuncFormatter(lambda v, _pos: tick_text(v)))
    axis.set_minor_formatter(FuncFormatter(minor))


def grid(ax: Axes) -> None:
    ax.grid(True, which="major", alpha=0.35)
    ax.grid(True, which="minor", alpha=0.1)
