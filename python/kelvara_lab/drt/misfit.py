"""Where a DRT misses its spectrum: the band of frequencies whose residuals exceed the noise.

The DRT should reproduce the spectrum to within ``LIMIT`` times its noise floor (both in
percent of |Z|, `discrepancy`). Single points beyond that are noise (a residual of twice
the level happens at about 2 % of the points); a miss is a run of points whose local level
(a running root mean square over ``_WINDOW`` points) exceeds the limit. The band reported is
the run with the largest excess.
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

#: the misfit a DRT may have, in multiples of its noise floor, before it warns
LIMIT = 2.0
_WINDOW = 5


class DrtMisfitWarning(UserWarning):
    """The DRT does not reproduce its spectrum to within twice the noise floor."""


def local_level(z: ComplexArray, fitted: ComplexArray) -> FloatArray:
    """Running root mean square of |dZ/Z| / sqrt(2) (percent), point by point."""
    squared = (np.abs(z - fitted) / np.abs(z)) ** 2 / 2
    width = min(_WINDOW, squared.size)
    kernel = np.ones(width) / width
    padded = np.pad(squared, (width // 2, width - 1 - width // 2), mode="edge")
    return np.asarray(100 * np.sqrt(np.convolve(padded, kernel, mode="valid")), dtype=float)


def misses(
    f: FloatArray, z: ComplexArray, fitted: ComplexArray, floor: float
) -> tuple[float, float] | None:
    """(lowest, highest) frequency of the band the DRT misses most, or None when its misfit
    overall is within LIMIT x floor. `f` ascending."""
    overall = float(100 * np.sqrt(np.mean(np.abs(z - fitted) ** 2 / np.abs(z) ** 2) / 2))
    if overall <= LIMIT * floor:
        return None
    level = local_level(z, fitted)
    above = level > LIMIT * floor
    if not above.any():  # spread thin over the whole window
        return float(f[0]), float(f[-1])
    best, best_excess, start = (0, 0), -1.0, None
    for i, flag in enumerate([*above, False]):
        if flag and start is None:
            start = i
        elif not flag and start is not None:
            excess = float(np.sum(level[start:i] - LIMIT * floor))
            if excess > best_excess:
                best, best_excess = (start, i - 1), excess
            start = None
    return float(f[best[0]]), float(f[best[1]])
