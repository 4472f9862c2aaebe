"""The findings of a verdict, from what one fit knows (``Evidence``): each check says what it
found, graded pass, warn or fail, against the thresholds of ``calibration.toml``."""

from __future__ import annotations

import functools
import math
import re
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from kelvara_lab.circuit.model import model_of
from kelvara_lab.circuit.notation import Element, Parallel, Series, read
from kelvara_lab.fitting.calibration import Calibration, calibration
from kelvara_lab.fitting.residuals import (
    lag_one_correlation,
    misfit_band,
    relative,
    relative_level,
)
from kelvara_lab.fitting.verdict import Verdict, VerdictFinding, worst


@dataclass(frozen=True)
class Evidence:
    """What a fit knows about itself. ``search_ends`` holds the costs at the end of every full
    run of the search (None where the fit was not searched: ``searched_by`` then says how it
    ran, "not searched (search='local')")."""

    notation: str
    names: tuple[str, ...]
    values: tuple[float, ...]
    stderr: tuple[float, ...]
    fixed: tuple[str, ...]
    bounds: tuple[tuple[float, float], ...]
    catalogue: tuple[tuple[float, float], ...]
    frequencies: npt.NDArray[np.float64]
    impedances: npt.NDArray[np.complex128]
    residuals: npt.NDArray[np.complex128]
    cost: float
    floor: float
    search_ends: tuple[float, ...] | None
    searched_by: str

    @property
    def free(self) -> list[str]:
        return [n for n in self.names if n not in self.fixed]


def judge(evidence: Evidence) -> Verdict:
    """The graded verdict on one fit."""
    cal = calibration()
    e = evidence
    dof = 2 * len(e.impedances) - len(e.free)
    level = relative_level(e.residuals, e.impedances, dof)
    rel = relative(e.residuals, e.impedances)
    correlation = lag_one_correlation(rel[np.argsort(e.frequencies, kind="stable")])
    findings = [
        *_data(e, dof, level, cal),
        *_convergence(e, cal),
        *_adequacy(e, level, correlation, rel, cal),
        *_identifiability(e, level, cal),
    ]
    return Verdict(
        status=worst([f.grade for f in findings]),
        findings=tuple(findings),
        level=level,
        floor=e.floor,
        correlation=correlation,
    )


def _data(e: Evidence, dof: int, level: float, cal: Calibration) -> Iterator[VerdictFinding]:
    """What no fit can know from these data."""
    k = len(e.free)
    distinct = len(np.unique(e.frequencies[np.isfinite(e.frequencies)]))
    if dof <= 0:
        yield VerdictFinding(
            "data", "fail", "no_dof",
            f"{k} free parameters for {2 * len(e.impedances)} residuals: nothing is tested",
            figure=float(dof),
        )  # fmt: skip
    elif distinct < k / 2 + cal.spare_frequencies:
        yield VerdictFinding(
            "data", "fail", "frequencies_short",
            f"{distinct} distinct frequencies cannot determine {k} free parameters",
            figure=float(distinct),
        )  # fmt: skip
    elif level == 0.0:
        yield VerdictFinding(
            "data", "warn", "exact_fit",
            "exact fit (chi-square 0): the data hold no noise to test the circuit against, "
            "and the standard errors say nothing",
            figure=0.0,
        )  # fmt: skip


def _convergence(e: Evidence, cal: Calibration) -> Iterator[VerdictFinding]:
    ends = [c for c in e.search_ends or () if math.isfinite(c)]
    if e.search_ends is None or not ends:
        yield VerdictFinding(
            "convergence", "warn", "not_searched",
            f"{e.searched_by or 'not searched'}: a lower minimum may exist; "
            "the default search would tell",
        )  # fmt: skip
        return
    best = min([*ends, e.cost]) if math.isfinite(e.cost) else min(ends)
    same = best + cal.same_minimum * abs(best) + 1e-300
    agreeing = sum(c <= same for c in ends)
    others = [c for c in ends if c > same]
    runner_up = min(others) / best if others and best > 0 else math.inf
    next_text = (
        f"the next minimum costs {runner_up:.3g}x" if math.isfinite(runner_up) else "no other"
    )
    if agreeing >= cal.agreeing_runs:
        yield VerdictFinding(
            "convergence", "pass", "converged",
            f"best minimum reached by {agreeing} of {len(ends)} search runs ({next_text})",
            figure=float(agreeing),
        )  # fmt: skip
    else:
        yield VerdictFinding(
            "convergence", "warn", "found_once",
            f"only {agreeing} of {len(ends)} search runs reached this minimum ({next_text}): "
            "a lower one may exist; a larger effort would tell",
            figure=float(agreeing),
        )  # fmt: skip


def _adequacy(
    e: Evidence,
    level: float,
    correlation: float,
    rel: npt.NDArray[np.complex128],
    cal: Calibration,
) -> Iterator[VerdictFinding]:
    if not math.isfinite(level):
        if 2 * len(e.impedances) > len(e.free):  # else the data finding said why
            yield VerdictFinding(
                "adequacy", "fail", "not_finite",
                "the model or the data are not finite at some frequency: nothing to judge",
            )  # fmt: skip
        return
    floor = e.floor
    if math.isfinite(floor) and floor > cal.floor_fail:
        yield VerdictFinding(
            "adequacy", "fail", "floor_too_high",
            f"the spectrum's own Lin-KK floor is {floor:.3g} % of |Z|: noise or data that are "
            "not an impedance; no circuit can be judged on them",
            figure=floor,
        )  # fmt: skip
        return
    if not math.isfinite(floor):
        bad = level > cal.level_fail_without_floor
        yield VerdictFinding(
            "adequacy", "fail" if bad else "warn", "no_floor",
            f"no noise floor (Lin-KK could not run on these data): residuals {level:.3g} % "
            "of |Z|" + (", too large to trust" if bad else ", adequacy unknown"),
            figure=level,
        )  # fmt: skip
        return
    n = len(e.impedances)
    random_limit = max(cal.structured_correlation, cal.structured_sigmas / math.sqrt(2 * n))
    structured = math.isfinite(correlation) and correlation > random_limit
    at_floor = level <= max(cal.pass_ratio * floor, floor + cal.absolute_slack)
    ratio = level / floor if floor > 0 else math.inf
    times = f"{ratio:.2g}x" if math.isfinite(ratio) else "above"
    figures = f"residuals {level:.3g} % of |Z|, {times} the noise floor {floor:.3g} %"
    if at_floor and not structured and random_limit <= cal.structured_correlation:
        yield VerdictFinding("adequacy", "pass", "at_floor", f"{figures}, random", figure=ratio)
        return
    band = misfit_band(e.frequencies, rel, floor, cal.band_share)
    where = f", mostly {band.describe()}" if band is not None else ""
    span = None if band is None else (band.low, band.high)
    if at_floor and not structured:
        # Too few points for the pattern test to see a correlation of structured_correlation.
        yield VerdictFinding(
            "adequacy", "warn", "too_few_points",
            f"{figures}, but {n} points are too few to tell random residuals from a pattern",
            figure=ratio,
        )  # fmt: skip
    elif at_floor:
        yield VerdictFinding(
            "adequacy", "warn", "at_floor_structured",
            f"{figures}, but structured (lag-1 correlation {correlation:.2f}){where}",
            band=span, figure=ratio,
        )  # fmt: skip
    elif structured and ratio > cal.fail_ratio:
        missing = f"the circuit misses a feature {band.describe()}" if band else "misfit"
        yield VerdictFinding(
            "adequacy", "fail", "missing_feature",
            f"{missing}: {figures}, structured (lag-1 correlation {correlation:.2f})",
            band=span, figure=ratio,
        )  # fmt: skip
    else:
        texture = f"structured ({correlation:.2f})" if structured else "random"
        yield VerdictFinding(
            "adequacy", "warn", "above_floor", f"{figures}, {texture}{where}",
            band=span, figure=ratio,
        )  # fmt: skip


# Element fields whose bound turns the element into a simpler one: (kind, field, at upper
# bound) -> (what it behaves as, the simpler kind's letter in notation).
_SIMPLER = {
    ("Cpe", "alpha", True): ("a capacitor", "C"),
    ("Cpe", "alpha", False): ("a resistor", "R"),
    ("La", "alpha", True): ("an inductor", "L"),
    ("La", "alpha", False): ("a resistor", "R"),
    ("Zarc", "gamma", True): ("an ideal RC arc", "K"),
}


@functools.lru_cache(maxsize=256)
def _kinds(notation: str) -> dict[str, str]:
    """Element label -> kind, for every element of the circuit (shared: do not change it)."""
    kinds: dict[str, str] = {}

    def walk(part: Series | Parallel | Element) -> None:
        if isinstance(part, Element):
            kinds[part.label] = part.kind
        elif isinstance(part, Parallel):
            for branch in part.branches:
                walk(branch)
        else:
            for item in part.items:
                walk(item)

    try:
        walk(read(notation))
    except ValueError:
        pass
    return kinds


def _simplified(notation: str, label: str, letter: str, labels: set[str]) -> str:
    number = 1
    while f"{letter}{number}" in labels:
        number += 1
    return re.sub(rf"(?<![A-Za-z0-9_]){re.escape(label)}(?![A-Za-z0-9_])", f"{letter}{number}",
                  notation)  # fmt: skip


def _identifiability(e: Evidence, level: float, cal: Calibration) -> Iterator[VerdictFinding]:
    kinds = _kinds(e.notation)
    exact = level == 0.0
    for name, value, error, (lo, hi), (cat_lo, _) in zip(
        e.names, e.values, e.stderr, e.bounds, e.catalogue, strict=True
    ):
        if name in e.fixed:
            continue
        label, _, part = name.partition(".")
        kind = kinds.get(label, "")
        low = lo if lo > cat_lo else cat_lo * cal.collapse_factor
        at_low, at_high = value <= low, math.isfinite(hi) and value >= hi
        if at_low or at_high:
            simpler = _SIMPLER.get((kind, part, at_high))
            if simpler is not None:
                behaves, letter = simpler
                shorter = _simplified(e.notation, label, letter, set(kinds))
                message = (
                    f"{name} at {value:.3g}: {label} behaves as {behaves}; "
                    f"{shorter} has one parameter fewer"
                )
            elif lo <= cat_lo and at_low:
                message = f"{name} collapsed to {value:.3g}: {label} contributes nothing here"
            else:
                message = f"{name} at its bound {lo if at_low else hi:.3g}"
            yield VerdictFinding("identifiability", "warn", "at_bound", message, name, figure=value)
            continue
        if exact:
            continue
        relative_error = abs(error / value) if value and math.isfinite(error) else math.inf
        if relative_error <= cal.undetermined:
            continue
        spread = f"+/- {relative_error:.0%}" if math.isfinite(relative_error) else "no error"
        if not math.isfinite(error) or _negligible(e, name, value):
            # No standard error (a singular Jacobian), or an element too small to matter:
            # the data do not fix it, but the fit does not rest on it either.
            reason = "changes the fit by less than the noise" if math.isfinite(error) else spread
            yield VerdictFinding(
                "identifiability", "warn", "undetermined",
                f"{name} not determined by the data ({reason}): {label} can likely go",
                name, figure=relative_error,
            )  # fmt: skip
        elif relative_error > cal.meaningless:
            yield VerdictFinding(
                "identifiability", "fail", "meaningless",
                f"{name} is not determined at all ({spread}): the fit says nothing about it",
                name, figure=relative_error,
            )  # fmt: skip
        else:
            yield VerdictFinding(
                "identifiability", "warn", "undetermined",
                f"{name} not determined by the data ({spread})", name, figure=relative_error,
            )  # fmt: skip


def _negligible(e: Evidence, name: str, value: float) -> bool:
    """Whether doubling `name` moves the model by less than the noise floor."""
    if not math.isfinite(e.floor):
        return False
    changed = list(e.values)
    changed[e.names.index(name)] = 2 * value
    try:
        model = model_of(e.notation)
        moved = model.with_values(changed).impedance(e.frequencies)
        here = model.with_values(list(e.values)).impedance(e.frequencies)
    except ValueError:
        return False
    shift = relative_level(moved - here, e.impedances, 2 * len(e.impedances))
    return shift < e.floor
