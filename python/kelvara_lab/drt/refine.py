"""The peaks' resistances from the measured impedance: one least-squares fit on the engine.

Regularisation blurs gamma, so areas read off the DRT are biased (by up to 20 % for a
nearly ideal arc), and the DRT's own impedance carries the same blur. The peaks are
therefore written as a circuit, the ends model in series with one Zarc per peak
(R / (1 + (j w tau)^alpha)), and that circuit is fitted to the measured spectrum from the
DRT's values with ``kl.fit(..., search="local")``: a local Levenberg-Marquardt run on the
engine, weighted by 1/|Z|. The low-frequency term is a CPE there, its exponent free.

A peak the measured impedance has no use for (its resistance collapses under ``MIN_SHARE``
of the polarisation resistance or below the noise, or its time constant leaves the
measured window) was ringing of the regularised solution: it is dropped and the rest fitted
again. Where the DRT merged two relaxations into one broad peak, the circuit misses the
spectrum: the largest arc is then split and the split kept when BIC clearly wants it.
Next to a low-frequency tail the DRT rings with broad peaks that the tail term,
its exponent now free, absorbs: the peak beside the tail stays only when the fit with it
is better by ``CLEARLY_BETTER`` (an analyst's "clearly better" in BIC). A fit that fails,
or ends worse than the DRT's own values, leaves the DRT's values.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

#: a relaxation holding less than this share of the polarisation resistance is no arc
MIN_SHARE = 0.01
#: an arc's time constant may lie this many decades beyond 1/(2 pi f) of the window's ends:
#: there its flank is measured (a diode's arc closing just above the highest frequency)
WINDOW_MARGIN = 0.5


def window(f: FloatArray) -> tuple[float, float]:
    """The time constants (s) whose relaxations the spectrum resolves."""
    margin = 10**WINDOW_MARGIN
    return 1 / (2 * math.pi * float(f.max()) * margin), margin / (2 * math.pi * float(f.min()))


_ROUNDS = 3
CLEARLY_BETTER = 10.0
#: at most this many arcs are split in two (`_split_merged`)
_SPLITS = 2
#: the local fit's patience (evaluations per run over n + 1): the DRT starts it next to its
#: minimum, and the default's 200 lets a run that has lost its way wander for seconds
PATIENCE = 20


@dataclass(frozen=True)
class Shape:
    """One relaxation as a Zarc: resistance (ohm), time constant (s), exponent."""

    r: float
    tau: float
    alpha: float


@dataclass(frozen=True)
class Refined:
    """The peaks and ends fitted together to the measured impedance."""

    shapes: tuple[Shape, ...]
    r_inf: float
    inductance: float | None
    #: the low-frequency CPE (Q, alpha), None without one
    tail: tuple[float, float] | None
    #: whether the engine's fit was kept (False: the DRT's own values)
    fitted: bool
    params: dict[str, float] = field(default_factory=dict)
    bic: float = math.inf


def notation(count: int, inductance: bool, tail: bool) -> str:
    parts = (["L0"] if inductance else []) + ["R0"]
    parts += [f"Zarc{k}" for k in range(1, count + 1)]
    return "-".join(parts + (["CPE0"] if tail else []))


def _start(
    shapes: list[Shape], r_inf: float, inductance: float | None, tail: tuple[float, float] | None
) -> dict[str, float]:
    tiny = 1e-12
    values = {"R0.r": max(r_inf, tiny)}
    if inductance is not None:
        values["L0.l"] = max(inductance, tiny)
    for k, shape in enumerate(shapes, start=1):
        values[f"Zarc{k}.r"] = max(shape.r, tiny)
        values[f"Zarc{k}.tau_k"] = shape.tau
        values[f"Zarc{k}.gamma"] = min(max(shape.alpha, 0.05), 0.999)
    if tail is not None:
        values["CPE0.q"] = max(tail[0], tiny)
        values["CPE0.alpha"] = min(max(tail[1], 0.05), 0.999)
    return values


def _cost(circuit: str, values: dict[str, float], f: FloatArray, z: ComplexArray) -> float:
    import kelvara

    model = kelvara.Circuit(circuit)
    names = model.param_names()
    fitted = model.with_values([values[n] for n in names]).impedance(f)
    return float(np.sum(np.abs((z - fitted) / z) ** 2))


def _fit_once(
    shapes: list[Shape],
    r_inf: float,
    inductance: float | None,
    tail: tuple[float, float] | None,
    f: FloatArray,
    z: ComplexArray,
    floor: float,
) -> Refined | None:
    from kelvara_lab.fitting.run import fit

    circuit = notation(len(shapes), inductance is not None, tail is not None)
    start = _start(shapes, r_inf, inductance, tail)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            report = fit(
                circuit,
                (f, z),
                start=start,
                search="local",
                check=False,
                noise_floor=floor,
                max_iterations=PATIENCE,
            )
        except (ValueError, RuntimeError, ArithmeticError):
            return None
    values = report.params
    finite = all(math.isfinite(v) for v in values.values())
    if not (report.success and finite) or _cost(circuit, values, f, z) > _cost(
        circuit, start, f, z
    ):
        return None
    fitted = tuple(
        Shape(values[f"Zarc{k}.r"], values[f"Zarc{k}.tau_k"], values[f"Zarc{k}.gamma"])
        for k in range(1, len(shapes) + 1)
    )
    return Refined(
        shapes=fitted,
        r_inf=values["R0.r"],
        inductance=values.get("L0.l"),
        tail=(values["CPE0.q"], values["CPE0.alpha"]) if tail is not None else None,
        fitted=True,
        params=dict(values),
        bic=report.bic,
    )


def _split_merged(
    kept: Refined, f: FloatArray, z: ComplexArray, floor: float, least: float
) -> Refined:
    """Two relaxations the DRT shows as one broad peak: while the circuit misses the
    spectrum by more than twice its noise, the largest arc is split in two half a decade
    either side, and the split stays when BIC finds it clearly better."""
    for _ in range(_SPLITS):
        if not (kept.fitted and kept.shapes):
            break
        circuit = notation(len(kept.shapes), kept.inductance is not None, kept.tail is not None)
        misfit = 100 * math.sqrt(_cost(circuit, kept.params, f, z) / (2 * f.size))
        if misfit <= 2 * floor:
            break
        largest = max(kept.shapes, key=lambda shape: shape.r)
        halves = [
            Shape(largest.r / 2, largest.tau / math.sqrt(10), largest.alpha),
            Shape(largest.r / 2, largest.tau * math.sqrt(10), largest.alpha),
        ]
        others = [shape for shape in kept.shapes if shape is not largest]
        trial = _fit_once(others + halves, kept.r_inf, kept.inductance, kept.tail, f, z, floor)
        if trial is None or trial.bic >= kept.bic - CLEARLY_BETTER:
            break
        total = sum(shape.r for shape in trial.shapes)
        if not all(resolvable(shape, total, f, least) for shape in trial.shapes):
            break
        kept = trial
    return kept


def resolvable(shape: Shape, total: float, f: FloatArray, least: float) -> bool:
    """Whether a fitted relaxation counts as an arc: its share of the polarisation
    resistance, its size against the noise (`least`, ohm), its place in the window."""
    lo, hi = window(f)
    inside = lo <= shape.tau <= hi
    return inside and shape.r >= MIN_SHARE * total and shape.r >= least


def refine(
    shapes: list[Shape],
    r_inf: float,
    inductance: float | None,
    tail: tuple[float, float] | None,
    f: FloatArray,
    z: ComplexArray,
    floor: float,
) -> Refined:
    """The shapes fitted to the measured spectrum, ringing dropped (module text)."""
    least = 2 * floor / 100 * float(np.median(np.abs(z)))
    current = list(shapes)
    kept = Refined(tuple(current), r_inf, inductance, tail, fitted=False)
    for _ in range(_ROUNDS):
        result = _fit_once(current, r_inf, inductance, tail, f, z, floor)
        if result is None:
            break
        kept = result
        total = sum(s.r for s in result.shapes)
        good = [s for s in result.shapes if resolvable(s, total, f, least)]
        if len(good) == len(result.shapes) or not result.shapes:
            break
        current = good
        r_inf, inductance, tail = result.r_inf, result.inductance, result.tail
        kept = Refined(tuple(good), r_inf, inductance, tail, fitted=False)
    if kept.fitted and kept.tail is not None and kept.shapes:
        ordered = sorted(kept.shapes, key=lambda shape: shape.tau)
        without = _fit_once(ordered[:-1], kept.r_inf, kept.inductance, kept.tail, f, z, floor)
        if without is not None and without.bic <= kept.bic + CLEARLY_BETTER:
            kept = without
    kept = _split_merged(kept, f, z, floor, least)
    total = sum(s.r for s in kept.shapes)
    final = tuple(s for s in kept.shapes if resolvable(s, total, f, least))
    return Refined(
        final, kept.r_inf, kept.inductance, kept.tail, kept.fitted, kept.params, kept.bic
    )
