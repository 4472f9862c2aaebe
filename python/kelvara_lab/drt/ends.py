"""The spectrum's ends, read from the data: what lies in series with the relaxations.

A DRT describes relaxations whose time constants lie inside the measured window. What lies
beyond it at either end is no relaxation and, left to the basis, smears into spurious peaks:

- the high-frequency end: the series resistance R_inf always; a series inductance L when the
  top of the spectrum is inductive (positive imaginary part at the highest frequencies).
- the low-frequency end: when -Im Z still rises as the frequency falls, a term
  1 / (Q (j w)^n) whose exponent n is read from the tail itself: n = 1 is a blocking
  capacitance, n = 1/2 a semi-infinite diffusion (a 45-degree line), between them a CPE.
  The exponent comes from the angle of the tail in the Nyquist plane (n = angle / 90 degrees)
  over its lowest half decade; tails flatter than ``_TAIL_MIN_DEGREES`` are the rising flank of
  an arc that closes beyond the window, which the relaxations describe better than a
  diffusion term would.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

#: a tail at least this steep (degrees in the Nyquist plane) gets a low-frequency term
_TAIL_MIN_DEGREES = 20.0
#: the tail's angle is read over this many decades at the low-frequency end (at least 3 points)
_TAIL_DECADES = 0.5
#: inductive points count at the top this many decades of the window (and above its middle)
_TOP_DECADES = 1.0


@dataclass(frozen=True)
class Ends:
    """What the DRT puts in series with its relaxations, and why."""

    inductance: bool
    #: exponent n of the low-frequency term 1 / (Q (j w)^n), None without one
    tail_exponent: float | None
    reasons: tuple[str, ...]

    @property
    def terms(self) -> tuple[str, ...]:
        """The series terms by name: "R", "L", and "C" (n = 1), "W" (n = 1/2) or "CPE"."""
        names = ["R"] + (["L"] if self.inductance else [])
        if self.tail_exponent is not None:
            names.append(tail_kind(self.tail_exponent))
        return tuple(names)


def tail_kind(exponent: float) -> str:
    """The element an analyst would write for a low-frequency term of this exponent."""
    if exponent >= 0.92:
        return "C"
    if exponent <= 0.58:
        return "W"
    return "CPE"


def inductive_top(f: FloatArray, z: ComplexArray, floor: float) -> int:
    """How many points of the top decade (above the window's middle) are inductive beyond
    the noise: Im Z above twice the noise floor (`floor`, percent of |Z|)."""
    top = f >= max(f.max() / 10**_TOP_DECADES, math.sqrt(f.max() * f.min()))
    return int(np.count_nonzero(top & (z.imag > 2 * floor / 100 * np.abs(z))))


def tail_angle(f: FloatArray, z: ComplexArray) -> float | None:
    """The angle (degrees) of the low-frequency tail when -Im Z still rises as f falls over
    the three lowest frequencies, else None. `f` ascending."""
    if f.size < 4:
        return None
    low = -z.imag[:3]
    if not (low[0] > 0 and low[0] > low[1] > low[2]):
        return None
    end = max(3, int(np.searchsorted(f, f[0] * 10**_TAIL_DECADES)))
    end = min(end, f.size - 1)
    rise_re = float(z.real[0] - z.real[end])
    rise_im = float(z.imag[end] - z.imag[0])  # -Im rise towards low frequency
    return math.degrees(math.atan2(rise_im, rise_re))


def choose(
    f: FloatArray,
    z: ComplexArray,
    inductance: bool | None,
    tail: float | str | None,
    floor: float,
) -> Ends:
    """The ends model of one spectrum (`f` ascending, noise `floor` in percent of |Z|).
    `inductance` None and `tail` "auto" read the data; True/False and None/a number (the
    exponent) impose the choice."""
    reasons = []
    if inductance is None:
        count = inductive_top(f, z, floor)
        inductance = count > 0
        if inductance:
            reasons.append(f"series L: {count} inductive point(s) at the high-frequency end")
    exponent: float | None
    if tail == "auto":
        angle = tail_angle(f, z)
        exponent = None
        if angle is not None and angle >= _TAIL_MIN_DEGREES:
            exponent = min(1.0, max(0.5, angle / 90.0))
            reasons.append(
                f"low-frequency term {tail_kind(exponent)} (n = {exponent:.2f}): the tail rises "
                f"at {angle:.0f} degrees"
            )
    elif tail is None:
        exponent = None
    else:
        exponent = float(tail)
        if not 0 < exponent <= 1:
            raise ValueError(f"tail must be 'auto', None or an exponent in (0, 1], got {tail!r}")
    return Ends(bool(inductance), exponent, tuple(reasons))
