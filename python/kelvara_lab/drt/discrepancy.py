"""The default lambda: the DRT fits the spectrum down to its noise, and no further.

The noise floor is the spectrum's own: the Lin-KK test's residual level (percent of |Z|,
real and imaginary parts together), which a Kramers-Kronig-compliant model with many free
time constants reaches on this spectrum. The DRT at lambda is scored on the same scale,
``misfit = 100 sqrt(mean(|Z - Z_drt|^2 / |Z|^2) / 2)``. Morozov's discrepancy principle then
takes the largest lambda whose misfit stays within ``TARGET`` times the floor: a smaller
lambda would fit the noise (spurious peaks), a larger one would smear the relaxations (a
misfit above the noise). The misfit of the non-negative solution grows with lambda, so a
bisection over the grid needs about eight solves.

A DRT cannot reach every floor: a low-frequency inductive loop needs a negative
distribution, a drifting cell is no Kramers-Kronig system at all. When even the smallest
lambda misses the target, the largest lambda within ``SLACK`` of the smallest reachable
misfit is taken, and the result warns (see ``misfit``).

On the development spectra (bench/drt.py) this finds the analyst's arcs where the L-curve
corner, pushed to lambda 0.1-10 by inductive or capacitive ends, merges them.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import numpy.typing as npt

from kelvara_lab.validity.kk import kk_test

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

#: the misfit the DRT is allowed, in multiples of the noise floor
TARGET = 1.2
#: the floor never goes below this (percent of |Z|): the basis's own resolution, and an
#: instrument's accuracy, end there
MIN_FLOOR = 0.02
#: when the floor is out of reach: the largest lambda within this factor of the best misfit
SLACK = 1.05


def noise_floor(f: FloatArray, z: ComplexArray) -> float:
    """The spectrum's noise level, percent of |Z| (Lin-KK residuals), at least MIN_FLOOR."""
    try:
        noise = kk_test(f, z).noise
    except (ValueError, np.linalg.LinAlgError):
        return MIN_FLOOR
    return max(float(noise), MIN_FLOOR) if np.isfinite(noise) else MIN_FLOOR


def relative_misfit(z: ComplexArray, fitted: ComplexArray) -> float:
    """100 sqrt(mean |dZ/Z|^2 / 2): the Lin-KK noise measure, for the DRT's fit."""
    relative = np.abs(z - fitted) / np.abs(z)
    return float(100 * np.sqrt(np.mean(relative**2) / 2))


def choose(
    lambdas: FloatArray, misfit_at: Callable[[float], float], floor: float
) -> tuple[float, float]:
    """(lambda, misfit): the largest grid lambda whose misfit is within TARGET x floor."""
    cache: dict[int, float] = {}

    def misfit(i: int) -> float:
        if i not in cache:
            cache[i] = misfit_at(float(lambdas[i]))
        return cache[i]

    target = TARGET * floor
    lo, hi = 0, lambdas.size - 1
    if misfit(lo) > target:
        target = SLACK * misfit(lo)
    if misfit(hi) <= target:
        return float(lambdas[hi]), misfit(hi)
    # invariant: misfit(lo) <= target < misfit(hi)
    while hi - lo > 1:
        middle = (lo + hi) // 2
        if misfit(middle) <= target:
            lo = middle
        else:
            hi = middle
    return float(lambdas[lo]), misfit(lo)
