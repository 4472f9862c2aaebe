"""The stress distribution: spectra drawn wider than synth.py's, wherever real cells go.

Today's sampler keeps the diffusion knee below the charge-transfer arc, arcs a decade
apart and exponents above 0.5; measured cells break all three, and a guess trained only
there was off by factors of 5 to 1000 on them. This sampler places every arc and knee
anywhere inside the window and half a decade beyond it, independently of each other,
lets arcs come within 0.4 decade, puts exponents at and just below 1, spreads the
resistances over four decades and makes a share of the spectra with a richer circuit
than the network's, labelled with the network circuit's best global fit. The shares are
written out in training/README.md; keep the two in step.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass

import numpy as np
from networks import NETWORKS
from synth import TWO_PI, Window, add_noise, draw_params, draw_window, spread

EDGE = 0.5  # decades beyond the window an arc or knee may sit
MIN_ARC_GAP = 0.4  # decades between the two arcs of a two-arc circuit
ALPHA_LO = 0.45
SHARE_ALPHA_ONE = 0.15  # each CPE exponent exactly 1 ...
SHARE_ALPHA_NEAR_ONE = 0.15  # ... or in [0.98, 1)
RESISTANCE_DECADES = 2.0  # every R other than R0 is S * 10^U(-2, 2): four decades
SHARE_RICHER = 0.2  # spectra made by a richer circuit than the network's
EXTRAS = ("small_arc", "sloped_tail", "inductive_loop")
SHARE_CLEAN, SHARE_FULL_NOISE = 0.1, 0.3  # sigma 0, sigma 2 %, else U(0, 2 %)
NOISE_MAX = 0.02
# Budgets of the global fits that label a richer spectrum: modest, since every such
# spectrum pays for them. Particle swarm rather than differential evolution: the module's
# differential evolution draws from the operating system's entropy whatever the seed, so
# its labels would differ from run to run.
LABEL_PARTICLES, LABEL_GENERATIONS = 40, 60
LABEL_HOPS = 8


def _alpha(rng: np.random.Generator) -> float:
    u = rng.random()
    if u < SHARE_ALPHA_ONE:
        return 1.0
    if u < SHARE_ALPHA_ONE + SHARE_ALPHA_NEAR_ONE:
        return rng.uniform(0.98, 1.0)
    return rng.uniform(ALPHA_LO, 1.0)


def _arc(rng, r: float, log_f: float, cpe: bool) -> list[float]:
    tau = 1.0 / (TWO_PI * 10.0**log_f)
    if not cpe:
        return [r, tau / r]
    alpha = _alpha(rng)
    return [r, tau**alpha / r, alpha]


def draw_stress_params(key: str, rng: np.random.Generator, win: Window) -> list[float]:
    """Generating values in the circuit's param_names() order; arc 1 is the faster."""
    scale = 10.0 ** rng.uniform(-3.0, 6.0)

    def resistance(lo=-RESISTANCE_DECADES, hi=RESISTANCE_DECADES):
        return scale * 10.0 ** rng.uniform(lo, hi)

    def place():  # anywhere inside the window and half a decade beyond
        return rng.uniform(win.lo - EDGE, win.hi + EDGE)

    r0 = resistance(-1.5, 0.5)
    base = key.removesuffix("_l")
    head = []
    if key.endswith("_l"):
        ratio = 10.0 ** rng.uniform(-1.0, 1.0)
        head = [ratio * r0 / (TWO_PI * 10.0**win.hi)]
    head.append(r0)

    if base in ("rc", "rq"):
        return head + _arc(rng, resistance(), place(), base == "rq")
    slow, fast = spread(rng, win.lo - EDGE, win.hi + EDGE, 2, MIN_ARC_GAP)
    if base in ("two_rc", "two_rq"):
        cpe = base == "two_rq"
        return head + _arc(rng, resistance(), fast, cpe) + _arc(rng, resistance(), slow, cpe)
    if base == "randles":
        r1 = resistance()
        # The diffusion crossover (|Z_W| = R1) anywhere, above the arc as well as below.
        aw = r1 * math.sqrt(TWO_PI * 10.0 ** place())
        r, q, alpha = _arc(rng, r1, place(), True)
        return head + [r, aw, q, alpha]
    if base in ("sei_randles", "sei_randles_wo"):
        sei = _arc(rng, resistance(), fast, True)
        r2 = resistance()
        r, q, alpha = _arc(rng, r2, slow, True)
        if base == "sei_randles":
            return head + sei + [r, r2 * math.sqrt(TWO_PI * 10.0 ** place()), q, alpha]
        tau = 1.0 / (TWO_PI * 10.0 ** place())  # the knee, omega * tau = 1
        z0 = r2 * 10.0 ** rng.uniform(-1.0, 1.0)
        return head + sei + [r, z0, tau, q, alpha]
    raise KeyError(key)


def draw_extra(rng: np.random.Generator, win: Window, r_total: float) -> tuple[str, str, list]:
    """(kind, notation suffix, values) of what a richer circuit adds in series."""
    kind = EXTRAS[rng.integers(len(EXTRAS))]
    if kind == "small_arc":  # 1 to 10 % of the cell's resistance, anywhere in the window
        r = r_total * 10.0 ** rng.uniform(-2.0, -1.0)
        tau = 1.0 / (TWO_PI * 10.0 ** rng.uniform(win.lo, win.hi))
        alpha = rng.uniform(0.6, 1.0)
        return kind, "-(R9,CPE9)", [r, tau**alpha / r, alpha]
    if kind == "sloped_tail":  # a CPE tail steeper or flatter than a Warburg, reaching
        # the cell's resistance 0 to 1 decade below the window's lowest frequency
        alpha = rng.uniform(0.3, 0.8)
        w = TWO_PI * 10.0 ** (win.lo - rng.uniform(0.0, 1.0))
        return kind, "-CPE9", [1.0 / (r_total * w**alpha), alpha]
    # A mild inductive loop: (R, L) in parallel, 1 to 10 % of the resistance, its corner
    # R / (2 pi L) inside the window.
    r = r_total * 10.0 ** rng.uniform(-2.0, -1.0)
    corner = TWO_PI * 10.0 ** rng.uniform(win.lo, win.hi)
    return kind, "-(R9,L9)", [r, r / corner]


def _noise_sigma(rng: np.random.Generator) -> float:
    u = rng.random()
    if u < SHARE_CLEAN:
        return 0.0
    if u < SHARE_CLEAN + SHARE_FULL_NOISE:
        return NOISE_MAX
    return rng.uniform(0.0, NOISE_MAX)


def _kelvara():
    os.environ.setdefault("RAYON_NUM_THREADS", "1")
    import kelvara

    return kelvara


@dataclass
class Draw:
    freqs: np.ndarray
    z: np.ndarray  # noisy
    truth: np.ndarray  # the network circuit's values that the spectrum should give
    extra: str | None  # None, or which richer circuit made the spectrum


def best_global_fit(circuit, start: list[float], f, z, seed: int) -> np.ndarray:
    """The lowest-cost fit of `circuit`: Levenberg-Marquardt from `start`, a particle swarm,
    and basin hopping from the better of the two (both seeded, so the label repeats)."""
    names = circuit.param_names()
    fits = [circuit.with_values(start).fit(f, z)]
    fits.append(
        circuit.fit(
            f,
            z,
            guess_init=False,
            method="particle_swarm",
            num_particles=LABEL_PARTICLES,
            generations=LABEL_GENERATIONS,
            seed=seed,
        )
    )
    best = min(fits, key=lambda r: r.cost)
    # A parameter that collapsed onto its floor is no start kelvara takes: hop from just off it.
    from_best = [
        max(best.params[n], 10 * lo) if lo > 0 else best.params[n]
        for n, (lo, _) in zip(names, circuit.param_bounds(), strict=True)
    ]
    fits.append(
        circuit.with_values(from_best).fit(
            f, z, method="basin_hopping", basin_hopping_hops=LABEL_HOPS, seed=seed
        )
    )
    best = min(fits, key=lambda r: r.cost)
    return np.array([best.params[n] for n in names])


def stress_spectrum(
    key: str, rng: np.random.Generator, sigma: float | None = None, share_richer=SHARE_RICHER
) -> Draw:
    """One draw of the stress distribution; sigma None draws it (see _noise_sigma).

    A richer spectrum whose label is implausible is replaced by another richer one, so
    the share of richer spectra stays share_richer."""
    kelvara = _kelvara()
    notation = NETWORKS[key].circuit
    circuit = kelvara.Circuit(notation)
    names = circuit.param_names()
    richer = rng.random() < share_richer
    while True:
        win = draw_window(rng)
        values = draw_stress_params(key, rng, win)
        if not richer:
            extra, clean, truth = None, circuit.with_values(values).impedance(win.freqs), values
            break
        r_total = sum(v for n, v in zip(names, values, strict=True) if n.startswith("R"))
        extra, suffix, extra_values = draw_extra(rng, win, r_total)
        clean = kelvara.Circuit(notation + suffix).with_values(values + extra_values)
        clean = clean.impedance(win.freqs)
        truth = best_global_fit(circuit, values, win.freqs, clean, int(rng.integers(2**31)))
        if _plausible(names, truth, values):
            break
    sigma = _noise_sigma(rng) if sigma is None else sigma
    return Draw(win.freqs, add_noise(rng, clean, sigma), np.array(truth), extra)


def _plausible(names: list[str], truth: np.ndarray, values: list[float]) -> bool:
    """Whether a richer spectrum's label is still the network circuit's cell: no exponent
    below 0.3 and no value more than two decades from its generating value. A best fit
    that swallows an arc into a resistance (exponent 0) or moves a value out of sight of
    the window would teach the network nonsense."""
    for name, t, v in zip(names, truth, values, strict=True):
        if name.endswith(".alpha"):
            if not 0.3 <= t <= 1.0:
                return False
        else:
            # A best fit decades beyond its value overflows the ratio to inf: rejected, quietly.
            with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
                ratio = t / v
            if not (t > 0.0 and ratio > 0.0 and abs(math.log10(ratio)) <= 2.0):
                return False
    return True


def today_spectrum(key: str, rng: np.random.Generator, sigma: float | None = None) -> Draw:
    """One draw of synth.py's distribution, as a Draw (train.spectrum's noise rule)."""
    win = draw_window(rng)
    values = draw_params(key, rng, win)
    z = _kelvara().Circuit(NETWORKS[key].circuit).with_values(values).impedance(win.freqs)
    if sigma is None:
        sigma = 0.0 if rng.random() < 0.2 else rng.uniform(0.0, 0.02)
    return Draw(win.freqs, add_noise(rng, z, sigma), np.array(values), None)


def mixture_spectrum(
    key: str, rng: np.random.Generator, stress_share: float, sigma: float | None = None
) -> Draw:
    """Today's distribution, or with probability stress_share the stress one."""
    if not 0.0 <= stress_share <= 1.0:
        raise ValueError(f"stress_share must lie in [0, 1], got {stress_share}")
    if rng.random() < stress_share:
        return stress_spectrum(key, rng, sigma)
    return today_spectrum(key, rng, sigma)


SAMPLERS = {"today": today_spectrum, "stress": stress_spectrum}
