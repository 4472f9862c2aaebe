"""Synthetic spectra for the eleven reference circuits.

Every draw is relative to a measurement window and a cell scale, so the same sampler
covers milliohm batteries and megaohm coatings, millihertz and megahertz. The
distributions are written out in training/README.md; keep the two in step.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np

TWO_PI = 2.0 * math.pi


@dataclass(frozen=True)
class Window:
    freqs: np.ndarray  # Hz, in measurement order (ascending or descending)
    lo: float  # log10 of the lowest and highest frequency
    hi: float


def draw_window(rng: np.random.Generator) -> Window:
    """2 to 6 decades anywhere in 1 mHz .. 1 MHz, 5 to 20 log-spaced points per decade."""
    span = rng.uniform(2.0, 6.0)
    lo = rng.uniform(-3.0, 6.0 - span)
    hi = lo + span
    n = max(int(round(rng.uniform(5.0, 20.0) * span)) + 1, 11)
    freqs = np.logspace(lo, hi, n)
    if rng.random() < 0.5:
        freqs = freqs[::-1].copy()
    return Window(freqs, lo, hi)


def spread(rng: np.random.Generator, lo: float, hi: float, k: int, gap: float) -> np.ndarray:
    """k sorted values in [lo, hi] at least `gap` apart (uniform over that set)."""
    room = max(hi - lo - (k - 1) * gap, 0.0)
    return np.sort(rng.uniform(0.0, room, size=k)) + lo + gap * np.arange(k)


def _arc(rng, r: float, log_f: float, cpe: bool) -> list[float]:
    """(R, C) or (R, q, alpha) whose relaxation frequency is 10^log_f Hz."""
    tau = 1.0 / (TWO_PI * 10.0**log_f)
    if not cpe:
        return [r, tau / r]
    alpha = rng.uniform(0.5, 1.0)
    return [r, tau**alpha / r, alpha]


def _inductance(rng, r0: float, hi: float) -> float:
    """L whose reactance at the top of the window is 0.1 to 10 times R0."""
    ratio = 10.0 ** rng.uniform(-1.0, 1.0)
    return ratio * r0 / (TWO_PI * 10.0**hi)


def draw_params(key: str, rng: np.random.Generator, win: Window) -> list[float]:
    """Generating values in the circuit's param_names() order.

    Arc 1 is always the faster one, so that two interchangeable arcs are labelled the
    same way every time and the network has one answer to learn.
    """
    scale = 10.0 ** rng.uniform(-3.0, 6.0)  # the cell's resistance scale, ohm

    def resistance(lo=-1.0, hi=1.0):
        return scale * 10.0 ** rng.uniform(lo, hi)

    lo, hi = win.lo, win.hi
    r0 = resistance(-1.5, 0.5)
    inductive = key.endswith("_l")
    base = key.removesuffix("_l")
    head = [_inductance(rng, r0, hi), r0] if inductive else [r0]

    if base in ("rc", "rq"):
        (log_f,) = spread(rng, lo - 0.5, hi + 0.5, 1, 0.0)
        return head + _arc(rng, resistance(), log_f, base == "rq")
    if base in ("two_rc", "two_rq"):
        slow, fast = spread(rng, lo - 0.3, hi + 0.3, 2, 1.0)
        cpe = base == "two_rq"
        return head + _arc(rng, resistance(), fast, cpe) + _arc(rng, resistance(), slow, cpe)
    if base == "randles":
        # Charge-transfer arc inside the window, diffusion taking over 0.5 to 2.5 decades
        # below it: aw = R1 * sqrt(omega_w) puts |Z_W| = R1 at omega_w.
        (log_f,) = spread(rng, lo + 1.0, hi + 0.3, 1, 0.0)
        r1 = resistance()
        aw = r1 * math.sqrt(TWO_PI * 10.0 ** (log_f - rng.uniform(0.5, 2.5)))
        r, q, alpha = _arc(rng, r1, log_f, True)
        return head + [r, aw, q, alpha]
    if base in ("sei_randles", "sei_randles_wo"):
        slow, fast = spread(rng, lo + 0.7, hi + 0.3, 2, 1.0)
        sei = _arc(rng, resistance(), fast, True)
        r2 = resistance()
        r, q, alpha = _arc(rng, r2, slow, True)
        if base == "sei_randles":
            aw = r2 * math.sqrt(TWO_PI * 10.0 ** (slow - rng.uniform(0.5, 2.0)))
            return head + sei + [r, aw, q, alpha]
        # Finite diffusion: its knee (omega * tau = 1) 0.5 to 1.5 decades below the arc,
        # its low-frequency resistance z0 a third to three times R2.
        tau = 1.0 / (TWO_PI * 10.0 ** (slow - rng.uniform(0.5, 1.5)))
        z0 = r2 * 10.0 ** rng.uniform(-0.5, 0.5)
        return head + sei + [r, z0, tau, q, alpha]
    raise KeyError(key)


def add_noise(rng: np.random.Generator, z: np.ndarray, sigma: float) -> np.ndarray:
    """Relative complex Gaussian noise: each point is multiplied by 1 + sigma*(n1 + j n2)."""
    n = rng.normal(size=(2, z.size))
    return z * (1.0 + sigma * (n[0] + 1j * n[1]))
