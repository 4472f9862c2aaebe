"""Find the circuit: every plausible circuit of the allowed elements, fitted and ranked.

1. *Candidates* (``candidates``): the grammar's series and parallel combinations of the
   allowed kinds up to ``max_elements``, one per impedance family (commuted and equivalent
   circuits once, redundant ones not at all). Data-independent, so made once per process.
2. *Pruning* (``pruning``): the rules the spectrum's two ends impose, and its relaxation count
   as a hint (one either side kept). The registry's circuits within the grammar's size are
   fitted whatever the pruning says.
3. *Screening* (``screen``): the survivors, smallest first, by the quick search. A circuit
   whose best possible score (its parameters' penalty at the least chi-square any circuit
   reaches on these data, a fraction of the Lin-KK model's) cannot beat the best screened
   circuit that keeps the plausibility rules is not fitted at all.
4. *Search*: the ``thorough`` best-screened candidates that keep the rules (and at least the
   best ``per_size`` of each element count) get the spectrum-scaled search; ``thorough=None``
   gives every survivor the search. Where no point is inductive but the window reaches a
   cell's wiring (``pruning.INDUCTOR_HZ``), the best ``INDUCTOR_TRIES`` searched circuits are
   searched once more with a series inductor.
5. *Ranking* (``table``): circuits that keep the plausibility rules (``plausibility``) before
   those that break one, searched fits before screened-only ones, then by ``screen.score``
   (BIC with each undetermined or at-bound parameter counted a second time, finite for exact
   fits); ties go to the canonical text, so the ranking is the same on every run, at any
   thread count. A row is trusted where its verdict passes, it keeps every rule, and the
   spectrum can tell circuits apart at all (``MIN_POINTS`` points, a noise floor below
   ``NOISE_LIMIT``).

Fits run on threads (the engine releases the interpreter lock; default one per core) or on a
Dask ``client``. The Lin-KK noise floor for the verdicts is computed once.
"""

from __future__ import annotations

import dataclasses
import functools
import math
import os
import time
import warnings
from collections.abc import Iterable
from typing import Any

import numpy as np
import pandas as pd

from kelvara_lab.circuit.elements import elements as defined_elements
from kelvara_lab.circuit.notation import REGISTRY
from kelvara_lab.drt.tikhonov import drt
from kelvara_lab.fitting.ranked import ranked as ranked_table
from kelvara_lab.fitting.report import FitReport
from kelvara_lab.fitting.verdict import noise_floor
from kelvara_lab.identification.candidates import (
    ELEMENTS,
    KIND_ORDER,
    SERIES,
    SPELLINGS,
    Node,
    distinct,
    equivalence_key,
    generate,
    join,
    leaf,
    parse,
)
from kelvara_lab.identification.pruning import Features, features, prune
from kelvara_lab.identification.screen import score
from kelvara_lab.identification.stages import (
    Run,
    deferred_diffusion,
    diffusion_tries,
    promoted,
    screen,
    with_series_inductor,
)
from kelvara_lab.identification.table import ranked, row
from kelvara_lab.spectrum.record import Spectrum, load, one_spectrum

# A spectrum needs this many points before any circuit is told apart from another, and a noise
# floor (percent of |Z|) below NOISE_LIMIT: above it the Lin-KK model follows noise, not a
# system.
MIN_POINTS = 6
NOISE_LIMIT = 10.0


@functools.lru_cache(maxsize=8)
def candidate_set(
    elements: tuple[str, ...], max_elements: int
) -> tuple[tuple[Node, ...], int, int]:
    """(one tree per impedance family, trees the grammar made, of which redundant)."""
    trees = generate(elements, max_elements)
    kept, redundant = distinct(trees)
    return tuple(kept), len(trees), redundant


@functools.lru_cache(maxsize=1)
def registry_keys() -> dict[str, str]:
    """Equivalence key -> registry name."""
    out: dict[str, str] = {}
    for name, text in REGISTRY.items():
        key = equivalence_key(parse(text))
        if key is not None:
            out.setdefault(key, name)
    return out


def registry_trees(elements: tuple[str, ...], max_elements: int) -> list[Node]:
    """The registry's circuits the grammar could make: kinds among `elements`, at most
    `max_elements` elements."""
    out = []
    for text in REGISTRY.values():
        tree = parse(text)
        if tree.size <= max_elements and set(tree.leaves()) <= set(elements):
            out.append(tree)
    return out


def _grammar(
    kinds: tuple[str, ...], max_elements: int, found: Features
) -> tuple[tuple[str, ...], int]:
    """The kinds and size the candidates are generated from: the inductor leaves the grammar
    wherever it may only stand in series (a lead's inductance, added afterwards), and stays in
    it where inductive points inside the window ask for a loop."""
    if "L" in kinds and found.inductive_points != "elsewhere":
        return tuple(k for k in kinds if k != "L"), max_elements
    return kinds, max_elements


def drt_relaxations(spectrum: Spectrum) -> int | None:
    """The DRT's arc count, where the DRT succeeds: its own count where it gives one, else
    its peaks."""
    try:
        with warnings.catch_warnings():
            # A DRT that misses the spectrum still counts its arcs; identify fits circuits.
            warnings.simplefilter("ignore")
            result = drt(
                (spectrum.frequencies, spectrum.impedances),
                inductance=bool(np.any(spectrum.impedances.imag > 0)),
            )
        arcs = getattr(result, "arcs", None)
        return int(arcs if isinstance(arcs, int | np.integer) else len(result.peaks))
    except (ValueError, RuntimeError, np.linalg.LinAlgError):
        return None


def _trusted(run: Run, report: FitReport | None, rule: str) -> bool:
    if rule or report is None or report.verdict is None:
        return False
    status = getattr(report.verdict, "status", "pass" if report.verdict.passed else "fail")
    return bool(status == "pass" and _distinguishable(run))


def _distinguishable(run: Run) -> bool:
    return len(run.spectrum.frequencies) >= MIN_POINTS and (
        math.isfinite(run.floor) and run.floor < NOISE_LIMIT
    )


def identify(
    data: Any,
    z: Any = None,
    *,
    elements: Iterable[str] = ELEMENTS,
    max_elements: int = 6,
    relaxations: int | None = None,
    thorough: int | None = 12,
    per_size: int = 1,
    seed: int = 0,
    workers: int | None = None,
    client: Any = None,
    check: bool = True,
) -> pd.DataFrame:
    """Rank every plausible circuit of `elements` (up to `max_elements`) for `data`, best first.

    `data` is a BDF frame, a file path or a pair ``(f, z)`` (one spectrum). `relaxations`
    gives the number of relaxations the data resolve (a hint: one either side is kept); by
    default the DRT's arc count, or the spectrum's own peaks where the DRT is not available.
    See the module docstring for the stages; ``thorough=None`` runs the search on every
    survivor. Each row carries its verdict's status and first finding, and the plausibility
    rule the circuit breaks (empty where it keeps them all). The table's ``attrs`` say how
    many candidates the grammar made, how many were redundant or equivalent, how many each
    pruning rule dropped, how many were fitted at each stage, whether the spectrum can tell
    circuits apart (``distinguishable``), and the seconds taken.
    """
    began = time.perf_counter()
    kinds = tuple(sorted({SPELLINGS.get(k, k) for k in elements}))
    if not kinds:
        raise ValueError("elements: give at least one element kind")
    custom = [e.code for e in defined_elements()]
    unknown = [k for k in kinds if k not in KIND_ORDER and k not in custom]
    if unknown:
        raise ValueError(
            f"elements: unknown or unsupported kind(s) {unknown}; choose from "
            f"{list(KIND_ORDER)} or your own elements {custom}"
        )
    if not isinstance(max_elements, int) or max_elements < 1:
        raise ValueError(f"max_elements must be a positive integer, got {max_elements!r}")
    if thorough is not None and thorough < 0:
        raise ValueError(f"thorough must be at least 0 or None, got {thorough}")
    spectrum = load(one_spectrum(data, z), run_checks=check)
    floor = noise_floor(spectrum.frequencies, spectrum.impedances)
    source = "given"
    if relaxations is None:
        relaxations = drt_relaxations(spectrum)
        source = "DRT arcs"
    found: Features = features(
        spectrum.frequencies, spectrum.impedances, relaxations, source, source != "given"
    )
    trees, generated, redundant = candidate_set(*_grammar(kinds, max_elements, found))
    if found.high_frequency == "inductive" and found.inductive_points == "high":
        # A lead's inductance is the wiring's, not the cell's: it stands in series with
        # circuits of up to max_elements elements of their own.
        trees = tuple(join(SERIES, (leaf("L"), t)) for t in trees)
    survivors, dropped = prune(trees, found)
    if not survivors and found.relaxations is not None:
        # The relaxation count is the least certain reading; where the rules together leave
        # nothing, it is dropped rather than the spectrum left without a circuit.
        found = dataclasses.replace(found, relaxations=None, interior=None, relaxations_low=None)
        survivors, dropped = prune(trees, found)
    registry = registry_keys()
    known: set[str | None] = {equivalence_key(t) for t in survivors}
    always = [
        t
        for t in registry_trees(kinds, max_elements + int("L" in kinds))
        if equivalence_key(t) is not None and equivalence_key(t) not in known
    ]
    run = Run(spectrum, found, floor, seed, workers or os.cpu_count() or 1, client, [], [], [])
    for tree in [*survivors, *always]:
        run.add(tree, registry)
    kept = len(run.trees)
    setup = time.perf_counter() - began

    everything = range(kept)
    deferred = deferred_diffusion(run, everything, set(range(len(survivors), kept)))
    if thorough is None:
        screened: dict[int, FitReport | None] = {}
        searched, skipped, tried = list(everything), 0, []
    else:
        first = sorted(set(everything) - set(deferred))
        screened, skipped = screen(run, first)
        tried = diffusion_tries(run, screened, deferred)
        screened.update(screen(run, tried)[0])
        order = sorted(
            screened,
            key=lambda i: (bool(run.rule(i, screened[i])), score(screened[i]), run.circuits[i]),
        )
        searched = promoted(order, run.trees, thorough, per_size)
    screen_seconds = time.perf_counter() - began - setup
    final: dict[int, tuple[FitReport | None, str]] = {
        i: (report, "screen") for i, report in screened.items() if i not in set(searched)
    }
    for i, report in zip(searched, run.fit(searched, "thorough"), strict=True):
        # The search starts from the local fit's start too, so it never ends above it; a
        # failed search keeps the screen's fit.
        final[i] = (report if report is not None else screened.get(i), "search")
    extra: list[int] = []
    wiring_tried = found.high_frequency == "inductive" or found.inductive_points == "elsewhere"
    if found.inductor_allowed and "L" in kinds and not wiring_tried:
        tries = with_series_inductor(run.trees, final, max_elements)
        extra = [run.add(t, registry) for t in tries]
        for i, report in zip(extra, run.fit(extra, "thorough"), strict=True):
            final[i] = (report, "search")
    rows = []
    for i, (report, stage) in final.items():
        rule = run.rule(i, report)
        rows.append(
            row(
                run.trees[i].text,
                run.trees[i].size,
                run.circuits[i],
                run.names[i],
                report,
                stage,
                score(report),
                rule,
                _trusted(run, report, rule),
            )
        )
    table = ranked(rows)
    table.attrs.update(
        generated=generated,
        redundant=redundant,
        distinct=len(trees),
        pruned=dict(dropped),
        survivors=kept,
        registry_added=len(always),
        inductor_tries=len(extra),
        screened=len(screened),
        skipped_by_bound=skipped,
        deferred_diffusion=len(deferred) - len(tried) if thorough is not None else 0,
        searched=len(searched) + len(extra),
        noise_floor=floor,
        distinguishable=_distinguishable(run),
        features=str(found),
        seconds=time.perf_counter() - began,
        seconds_setup=setup,
        seconds_screen=screen_seconds,
    )
    return ranked_table(table)
