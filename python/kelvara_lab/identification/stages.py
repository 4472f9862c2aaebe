"""The stages of identify between the pruning and the table: the quick screen (smallest
first, skipping what cannot win), the finite-diffusion and series-inductor tries on the best
screened circuits, and the choice of circuits for the full search."""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence
from typing import Any

from kelvara_lab.circuit.notation import REGISTRY
from kelvara_lab.fitting.report import FitReport
from kelvara_lab.identification.candidates import (
    SERIES,
    Node,
    equivalence_key,
    join,
    leaf,
    notation,
    parse,
)
from kelvara_lab.identification.plausibility import broken_rule
from kelvara_lab.identification.pruning import Features, relaxations_drawn
from kelvara_lab.identification.screen import best_possible, fit_all, score
from kelvara_lab.spectrum.record import Spectrum

# Where no point is inductive the candidates hold no inductor, yet a lead's inductance may still
# bend the highest frequencies; the best few searched circuits are tried again with one in series.
INDUCTOR_TRIES = 6
# A finite-length Warburg (Wo) is a Warburg (W) whose tail bends at low frequency: one parameter
# more on the same circuit, and the costliest element to fit by far. The screen fits the W
# circuits, then the Wo form of the best DIFFUSION_TRIES of them only.
DIFFUSION_TRIES = 6
# No circuit's chi-square falls below this fraction of the Lin-KK model's (a model flexible
# enough to follow any valid spectrum): the screen's bound on what a candidate can reach.
LEAST_CHI_FRACTION = 0.5
PARAMETERS = {"CPE": 2, "Wo": 2, "Ws": 2, "G": 2, "Gs": 3, "La": 2, "T": 3, "Tlmq": 3}


def parameter_count(tree: Node) -> int:
    return sum(PARAMETERS.get(kind, 1) for kind in tree.leaves())


def with_series_inductor(
    trees: list[Node], final: dict[int, tuple[FitReport | None, str]], max_elements: int
) -> list[Node]:
    """Up to ``INDUCTOR_TRIES`` of the best searched trees without an inductor, with one in
    series."""
    ranked_trees = sorted(
        (
            i
            for i, (_, stage) in final.items()
            if stage == "search" and "L" not in trees[i].leaves()
        ),
        key=lambda i: (score(final[i][0]), trees[i].text),
    )
    # The best of each relaxation count first: the inductor may be what a circuit with more
    # arcs lacked to win.
    groups: set[int] = set()
    first = []
    for i in ranked_trees:
        if relaxations_drawn(trees[i]) not in groups:
            groups.add(relaxations_drawn(trees[i]))
            first.append(i)
    known = {t.text for t in trees}
    out = []
    for i in first + ranked_trees:
        tree = join(SERIES, (leaf("L"), trees[i]))
        # The inductor is the wiring's: it does not count against the circuit's size.
        if tree.size <= max_elements + 1 and tree.text not in known:
            out.append(tree)
            known.add(tree.text)
        if len(out) == INDUCTOR_TRIES:
            break
    return out


def promoted(order: list[int], trees: Sequence[Node], count: int, per_size: int) -> list[int]:
    """The first `count` of `order` and the first `per_size` of each element count."""
    chosen = list(order[:count])
    taken: dict[int, int] = {}
    for i in order:
        size = trees[i].size
        if taken.get(size, 0) < per_size:
            taken[size] = taken.get(size, 0) + 1
            if i not in chosen:
                chosen.append(i)
    return chosen


@dataclasses.dataclass
class Run:
    """One identify call's spectrum, settings and the fits so far."""

    spectrum: Spectrum
    found: Features
    floor: float
    seed: int
    workers: int
    client: Any
    trees: list[Node]
    circuits: list[str]
    names: list[str]

    @property
    def residuals(self) -> int:
        return 2 * len(self.spectrum.frequencies)

    def fit(self, indices: Sequence[int], search: str) -> list[FitReport | None]:
        circuits = [self.circuits[i] for i in indices]
        return fit_all(
            circuits, self.spectrum, search, self.seed, self.floor, self.workers, self.client
        )

    def rule(self, i: int, report: FitReport | None) -> str:
        return broken_rule(self.trees[i], report, self.found)

    def add(self, tree: Node, registry: dict[str, str]) -> int:
        name = registry.get(equivalence_key(tree) or "", "")
        self.trees.append(tree)
        self.names.append(name)
        self.circuits.append(REGISTRY[name] if name else notation(tree))
        return len(self.trees) - 1


def screen(run: Run, indices: Sequence[int]) -> tuple[dict[int, FitReport | None], int]:
    """Quick fits of the candidates at `indices`, fewest parameters first; a group whose best
    possible score cannot beat the best rule-keeping fit so far is skipped. (fits, skipped)"""
    least = LEAST_CHI_FRACTION * (run.floor / 100) ** 2 * run.residuals
    screened: dict[int, FitReport | None] = {}
    skipped = 0
    by_count: dict[int, list[int]] = {}
    for i in indices:
        by_count.setdefault(parameter_count(run.trees[i]), []).append(i)
    best = math.inf
    for count in sorted(by_count):
        if least > 0 and best_possible(count, run.residuals, least) > best:
            skipped += len(by_count[count])
            continue
        group = by_count[count]
        for i, report in zip(group, run.fit(group, "quick"), strict=True):
            screened[i] = report
            if not run.rule(i, report):
                best = min(best, score(report))
    return screened, skipped


def as_warburg(tree: Node) -> str:
    """The canonical text of `tree` with its finite-length Warburg made a semi-infinite one."""
    return parse(notation(tree).replace("Wo", "W")).text


def deferred_diffusion(run: Run, candidates: Sequence[int], registry: set[int]) -> list[int]:
    """The candidates with a Wo whose W form is a candidate too (registry circuits are never
    deferred): the screen tries them after their W forms."""
    texts = {run.trees[i].text for i in candidates}
    return [
        i
        for i in candidates
        if i not in registry and "Wo" in run.trees[i].leaves() and as_warburg(run.trees[i]) in texts
    ]


def diffusion_tries(
    run: Run, screened: dict[int, FitReport | None], deferred: Sequence[int]
) -> list[int]:
    """The deferred Wo circuits whose W forms are the best ``DIFFUSION_TRIES`` screened ones
    (rule-keepers first)."""
    by_warburg = {as_warburg(run.trees[i]): i for i in deferred}
    order = sorted(
        (i for i in screened if "W" in run.trees[i].leaves()),
        key=lambda i: (bool(run.rule(i, screened[i])), score(screened[i]), run.trees[i].text),
    )
    tries = [by_warburg[run.trees[i].text] for i in order if run.trees[i].text in by_warburg]
    return tries[:DIFFUSION_TRIES]
