"""What a spectrum rules out before any fit: its two ends and the relaxations it resolves.

Each candidate has three structural properties. Its behaviour at DC: *finite* (a resistive path
through R or Ws), *open* (every path blocked by C, CPE, W or Wo) or *short* (an inductor path
alone). Its behaviour at high frequency: *finite* (a resistance remains), *zero* (a capacitive
or diffusive element shunts everything) or *infinite* (an inductor in the series path). And its
number of parallel groups, each of which draws one relaxation (an arc, a loop, a shoulder).

The spectrum's ends are read from their last few points; where they are ambiguous the rule does
not fire. The rules, each one conservative (it removes only circuits that cannot follow what
the data show, or that add a parameter the data cannot determine):

1. *Low-frequency arc closing* (-Z'' falls towards the real axis over the lowest points): a
   candidate open at DC is dropped, since a blocking element in series would make -Z'' rise.
2. *Low-frequency tail rising* (-Z'' grows as the frequency falls, at a Nyquist slope above
   ``TAIL_SLOPE``): a candidate with finite DC resistance or a DC short is dropped; following a
   rising tail with an arc whose apex lies beyond the window leaves that arc's resistance
   undetermined, and the same circuit with the arc's resistor removed is a candidate too.
3. *Real intercept at high frequency* (phase above ``-HF_RESISTIVE_DEGREES`` at the highest
   frequency, positive real part): a candidate whose impedance vanishes at high frequency (a
   lone capacitor or CPE, nothing in series) is dropped.
4. *Inductive high frequencies* (positive Z'' at the two highest frequencies): a candidate with
   no inductor in its series path is dropped.
5. *No inductive point at all*: a candidate with an inductor is dropped (``identify`` tries a
   series inductor on its best few circuits afterwards, since an inductance can bend the highest
   frequencies without making a point inductive). Where only the high frequencies are
   inductive, an inductor may stand only in the series path (lead inductance), not inside a
   parallel group (a low-frequency loop).
6. *Relaxations*: a candidate with more parallel groups than the resolvable relaxations plus
   one (two arcs may overlap into one peak) is dropped, and so is one with fewer groups than
   the peaks inside the window less one (each peak needs a group to draw it, a peak at the
   window's edge may be a diffusion tail instead, and one counted peak may be a ripple). The
   count is the DRT's peak count where ``kelvara_lab.drt`` is available, else
   the peaks of -Z'' and of -dZ'/dln f of the spectrum's Lin-KK model (overlapping arcs show
   in one or the other), whichever is larger.

Redundant circuits (more parameters than the impedance determines, see
``kelvara_lab.identification.candidates``) never reach these rules: they are not candidates.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import Literal, cast

import numpy as np
import numpy.typing as npt
from scipy.signal import find_peaks

from kelvara_lab.circuit.elements import limits
from kelvara_lab.identification.candidates import KIND_ORDER, PARALLEL, SERIES, Node

Dc = Literal["finite", "open", "short"]
Hf = Literal["finite", "zero", "infinite"]

TAIL_SLOPE = 0.3  # d(-Z'') / dZ' over the lowest points: about 17 degrees
HF_RESISTIVE_DEGREES = 25.0
# Of the span of -Z'' (or of -dZ'/dln f): the Lin-KK model's own ripples stay below about 6 %.
PEAK_PROMINENCE = 0.08
INDUCTIVE = 0.02  # a point is inductive when Z'' exceeds this fraction of |Z| (4 sigma at 0.5 %)
CLOSED = 0.03  # -Z'' at the lowest points below this fraction of its largest: the arc has closed
LOW_POINTS = 4
DENSE_PER_DECADE = 20

_DC: dict[str, Dc] = {"R": "finite", "Ws": "finite", "G": "finite", "Gs": "finite", "L": "short"}
_DC.update({"La": "short", "T": "finite"})
_HF: dict[str, Hf] = {"R": "finite", "L": "infinite", "La": "infinite"}
KNOWN = frozenset(KIND_ORDER)  # the built-in kinds; any other leaf is a custom element


def _custom(kind: str) -> tuple[Dc, Hf] | None:
    """A custom element's limits, as `kelvara_lab.circuit.elements.limits` reads them."""
    found = limits(kind)
    return None if found is None else (cast(Dc, found[0]), cast(Hf, found[1]))


def dc_behaviour(node: Node) -> Dc:
    if node.is_leaf:
        if node.op not in KNOWN and (custom := _custom(node.op)) is not None:
            return custom[0]
        return _DC.get(node.op, "open")
    parts = {dc_behaviour(child) for child in node.children}
    order: tuple[Dc, ...] = ("open", "finite", "short")
    if node.op == PARALLEL:
        order = order[::-1]  # a parallel conducts as well as its best branch
    return next(state for state in order if state in parts)


def hf_behaviour(node: Node) -> Hf:
    if node.is_leaf:
        if node.op not in KNOWN and (custom := _custom(node.op)) is not None:
            return custom[1]
        return _HF.get(node.op, "zero")
    parts = {hf_behaviour(child) for child in node.children}
    order: tuple[Hf, ...] = ("infinite", "finite", "zero")
    if node.op == PARALLEL:
        order = order[::-1]
    return next(state for state in order if state in parts)


# Elements that draw a relaxation of their own (a peak in -Z'') outside any parallel group.
PEAKING = frozenset({"Ws", "G", "Gs", "T", "Tlmq"})


def relaxations_drawn(node: Node) -> int:
    """Parallel groups and peaking elements: the relaxations a candidate can draw."""
    if node.is_leaf:
        if node.op not in KNOWN and (custom := _custom(node.op)) is not None:
            return int(custom == ("finite", "zero"))  # an arc of its own, as G or Ws draws
        return int(node.op in PEAKING)
    return int(node.op == PARALLEL) + sum(relaxations_drawn(c) for c in node.children)


def inductor_outside_series_path(node: Node) -> bool:
    """An inductor inside a parallel group (rather than in the top-level series chain)."""
    if node.op == "L":
        return False
    series_path = node.children if node.op == SERIES else (node,)
    return any(not c.is_leaf and "L" in c.leaves() for c in series_path)


@dataclass(frozen=True)
class Features:
    """What the spectrum shows at its ends and how many relaxations it resolves."""

    low_frequency: Literal["closing", "rising", "unclear"]
    high_frequency: Literal["resistive", "inductive", "unclear"]
    inductive_points: Literal["none", "high", "elsewhere"]
    relaxations: int | None
    relaxations_from: str
    #: peaks inside the window, each of which some parallel group must draw (where known)
    interior: int | None = None

    def __str__(self) -> str:
        return (
            f"low frequencies {self.low_frequency}, high frequencies {self.high_frequency}, "
            f"inductive points {self.inductive_points}, {self.relaxations} relaxation(s) "
            f"({self.relaxations_from}"
            + ("" if self.interior is None else f", {self.interior} inside the window")
            + ")"
        )


def _peaks(values: npt.NDArray[np.float64]) -> tuple[int, int]:
    """(peaks inside the window, peaks in all) of a curve over ascending frequency."""
    span = float(np.ptp(values))
    if not span > 0:
        return 0, 0
    # A curve still rising at the window's end counts as a peak there: a relaxation (or a
    # tail) the window cuts.
    padded = np.concatenate(([values.min()], values, [values.min()]))
    where = find_peaks(padded, prominence=PEAK_PROMINENCE * span)[0]
    inside = int(np.count_nonzero((where > 1) & (where < len(values))))
    return inside, len(where)


def spectrum_relaxations(
    f: npt.NDArray[np.float64], z: npt.NDArray[np.complex128]
) -> tuple[int, int]:
    """(peaks inside the window, peaks in all) of -Z'' and of -dZ'/dln f (the larger counts) of
    the spectrum's Lin-KK model on a dense grid: the model follows the data without their
    noise, which would add peaks."""
    from kelvara_lab.validity.kk import kk_test

    try:
        kk = kk_test(f, z)
    except ValueError:
        return 0, 0
    decades = max(1, int(np.ceil(np.log10(f.max() / f.min()))))
    grid = np.logspace(np.log10(f.min()), np.log10(f.max()), DENSE_PER_DECADE * decades + 1)
    s = 2j * np.pi * grid
    model = kk.series_resistance + (kk.resistances / (1 + s[:, None] * kk.time_constants)).sum(1)
    capacitive = _peaks(np.clip(-model.imag, 0, None))
    slope = _peaks(np.clip(-np.gradient(model.real, np.log(grid)), 0, None))
    return max(capacitive[0], slope[0]), max(capacitive[1], slope[1])


def features(
    f: npt.NDArray[np.float64],
    z: npt.NDArray[np.complex128],
    relaxations: int | None = None,
    relaxations_from: str = "given",
) -> Features:
    """The ends of the spectrum and its relaxation count (`relaxations` when given)."""
    order = np.argsort(f)
    f, z = f[order], z[order]
    scale = float(np.max(np.abs(z)))
    low: Literal["closing", "rising", "unclear"] = "unclear"
    if len(f) >= LOW_POINTS + 2:
        tail = z[:LOW_POINTS]
        d_imag = -tail.imag[0] - (-tail.imag[-1])  # change of -Z'' as f falls
        d_real = tail.real[0] - tail.real[-1]
        steady = np.all(np.diff(-tail.imag) < 0) or np.all(np.diff(-tail.imag) > 0)
        if steady and abs(d_imag) > 0.005 * scale:
            slope = d_imag / d_real if d_real > 0 else math.inf
            if d_imag > 0 and slope > TAIL_SLOPE:
                low = "rising"
            elif d_imag < 0:
                low = "closing"
        if np.all(np.abs(tail.imag[:3]) < CLOSED * np.max(-z.imag)):
            low = "closing"
    inductive = z.imag > INDUCTIVE * np.abs(z)
    top = z[-2:]
    high: Literal["resistive", "inductive", "unclear"] = "unclear"
    if np.all(inductive[-2:]):
        high = "inductive"
    elif top.real[-1] > 0 and math.degrees(math.atan2(top.imag[-1], top.real[-1])) > (
        -HF_RESISTIVE_DEGREES
    ):
        high = "resistive"
    where: Literal["none", "high", "elsewhere"] = "none"
    if inductive.any():
        # Inductive points only in a run at the top of the window are a lead's inductance.
        top_run = len(inductive) - int(np.argmin(inductive[::-1])) if not inductive.all() else 0
        # Two inductive points below the top run make a loop; one may be an outlier.
        where = "elsewhere" if np.count_nonzero(inductive[:top_run]) >= 2 else "high"
    interior = None
    if relaxations is None:
        interior, relaxations = spectrum_relaxations(f, z)
        relaxations_from = "peaks of -Z'' and -dZ'/dln f"
    return Features(low, high, where, relaxations, relaxations_from, interior)


def rules(found: Features) -> list[tuple[str, Callable[[Node], bool]]]:
    """(name, test) of each rule that fires for these features; a test true drops the tree."""
    out: list[tuple[str, Callable[[Node], bool]]] = []
    if found.low_frequency == "closing":
        out.append(("open at DC, the arc closes", lambda t: dc_behaviour(t) == "open"))
    if found.low_frequency == "rising":
        out.append(("conducts at DC, the tail rises", lambda t: dc_behaviour(t) != "open"))
    if found.high_frequency == "resistive":
        out.append(("no high-frequency resistance", lambda t: hf_behaviour(t) == "zero"))
    if found.high_frequency == "inductive":
        out.append(("no series inductor", lambda t: hf_behaviour(t) != "infinite"))
    if found.inductive_points == "none":
        out.append(("an inductor, no inductive point", lambda t: "L" in t.leaves()))
    if found.inductive_points == "high":
        out.append(("an inductor inside a parallel group", inductor_outside_series_path))
    if found.relaxations is not None:
        most = found.relaxations + 1
        # One peak fewer than counted: a ripple of the model may pass for a small peak.
        least = (found.relaxations if found.interior is None else found.interior) - 1
        out.append(
            (
                "relaxations beyond what the data resolve",
                lambda t: not least <= relaxations_drawn(t) <= most,
            )
        )
    return out


def prune(trees: tuple[Node, ...], found: Features) -> tuple[list[Node], dict[str, int]]:
    """The trees no rule drops, and how many each rule dropped (the first that fired)."""
    active = rules(found)
    dropped = {name: 0 for name, _ in active}
    kept = []
    for tree in trees:
        for name, test in active:
            if test(tree):
                dropped[name] += 1
                break
        else:
            kept.append(tree)
    return kept, dropped
