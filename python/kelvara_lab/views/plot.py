"""Nyquist, Bode, admittance, capacitance, residual, Lin-KK, Z-HIT, fit, DRT, identify and
circuit pictures with matplotlib.

Every function draws onto the Axes given as ``ax=`` (one Axes, or a pair where it draws two
panels), or onto a new figure sized for the data when ``ax`` is left out, and returns the
``Figure`` it drew on, so that ``plot.kk(result).savefig("kk.png")`` works either way;
``fit``, ``drt``, ``zhit``, ``spectrum``, ``admittance``, ``capacitance`` and ``candidates``
draw whole pictures of their own and take no ``ax``. A spectrum is passed as everywhere
else: ``f, z``, a pair, a frame or a file path. Impedances are scaled to milliohm or
kiloohm where that reads better; the unit is in the labels. Log axes carry plain numbers
(powers of ten as 10^n) whatever their span.
"""

from kelvara_lab.views.candidates import candidates
from kelvara_lab.views.diagram import circuit
from kelvara_lab.views.distribution import drt
from kelvara_lab.views.results import fit, kk, residuals, zhit
from kelvara_lab.views.spectra import admittance, bode, capacitance, nyquist, spectrum

__all__ = [
    "admittance",
    "bode",
    "candidates",
    "capacitance",
    "circuit",
    "drt",
    "fit",
    "kk",
    "nyquist",
    "residuals",
    "spectrum",
    "zhit",
]
