"""Repeated spectra of one cell averaged point by point: the noise of n repeats falls by
sqrt(n), and the spread between them is itself a noise estimate."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from kelvara_lab.io.columns import FREQUENCY, IMAGINARY, REAL, SPECTRUM
from kelvara_lab.spectrum.record import load

# Repeats must share their frequencies to this relative tolerance (instruments round them).
FREQUENCY_RTOL = 1e-6


def _parts(data: Any) -> list[tuple[Any, Any]]:
    if isinstance(data, pd.DataFrame) and SPECTRUM in data.columns:
        data = [g.drop(columns=[SPECTRUM]) for _, g in data.groupby(SPECTRUM, sort=True)]
    elif not isinstance(data, (list, tuple)) or (
        isinstance(data, tuple)
        and len(data) == 2
        and np.ndim(data[0]) == 1
        and np.asarray(data[0]).dtype.kind in "iuf"
    ):
        data = [data]
    out = []
    for item in data:
        spectrum = load(item, run_checks=False)
        out.append((spectrum.frequencies, spectrum.impedances))
    return out


def average(data: Any) -> pd.DataFrame:
    """The point-by-point mean of repeated spectra, as a BDF frame.

    `data` is a frame with a "Spectrum" column (a file of repeats, as ``read`` gives it) or
    a list of spectra in any form ``fit`` takes. Every repeat must hold the same
    frequencies (in any order). The frame's ``attrs`` hold "repeats" and "spread": the
    standard deviation between repeats per point, in percent of |Z| (real and imaginary
    parts pooled), the measured noise of one repeat.
    """
    parts = _parts(data)
    if len(parts) < 2:
        raise ValueError(f"averaging needs at least two spectra, got {len(parts)}")
    f0 = np.sort(parts[0][0])
    stacked = []
    for k, (f, z) in enumerate(parts):
        order = np.argsort(f)
        if f.shape != f0.shape or not np.allclose(f[order], f0, rtol=FREQUENCY_RTOL, atol=0):
            raise ValueError(
                f"spectrum {k} does not share spectrum 0's frequencies ({f.size} points against "
                f"{f0.size}); repeats must be measured at the same frequencies"
            )
        stacked.append(z[order])
    values = np.vstack(stacked)
    mean = values.mean(axis=0)
    spread = np.sqrt((values.real.var(axis=0, ddof=1) + values.imag.var(axis=0, ddof=1)) / 2)
    frame = pd.DataFrame({FREQUENCY: f0[::-1], REAL: mean.real[::-1], IMAGINARY: mean.imag[::-1]})
    frame.attrs.update(
        repeats=len(parts), spread=[float(v) for v in (100 * spread / np.abs(mean))[::-1]]
    )
    return frame
