"""Find the circuit: every plausible circuit of the allowed elements, fitted and ranked.

1. *Candidates* (``candidates``): the grammar's series and parallel combinations of the
   allowed kinds up to ``max_elements``, one per impedance family (commuted and equivalent
   circuits once, redundant ones not at all). Data-independent, so made once per process.
2. *Pruning* (``pruning``): the rules the spectrum's two ends and its relaxation count
   impose, written down there.
3. *Screening*: every survivor is fitted by the quick search (``search="quick"``: the
   spectrum-scaled search with a quarter of its starts).
4. *Search*: the ``thorough`` best-screened candidates (and at least the best
   ``per_size`` of each element count, so that a small circuit whose quick fit went astray is
   not lost to larger ones) are fitted with the spectrum-scaled search; ``thorough=None`` gives
   every survivor the search. Where no point of the spectrum is inductive (so the pruning left
   inductors out), the best ``INDUCTOR_TRIES`` searched circuits are searched once more with a
   series inductor: a lead's inductance can bend the highest frequencies without making any
   point inductive.
5. *Ranking* by ``score``: BIC with each parameter the data do not determine (the verdict's
   undetermined and at-bound parameters) counted a second time, that is ln(m) added per such
   parameter for m residuals; a parameter the data do not pay for is no evidence for the
   circuit. Searched fits rank before screened-only ones; ties go to the canonical text, so the
   ranking is the same on every run, at any thread count.

Fits run on threads (the engine releases the interpreter lock; default one per core) or on a
Dask ``client``. The Lin-KK noise floor for the verdicts is computed once.
"""

from __future__ import annotations

import dataclasses
import functools
import math
import os
import time
from collections.abc import Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import pandas as pd

from kelvara_lab import _engine
from kelvara_lab.circuit.elements import elements as defined_elements
from kelvara_lab.circuit.elements import ensure
from kelvara_lab.circuit.notation import REGISTRY
from kelvara_lab.drt.tikhonov import drt
from kelvara_lab.fitting.ranked import ranked as ranked_table
from kelvara_lab.fitting.report import FitReport
from kelvara_lab.fitting.run import fit, no_network_warning_silenced
from kelvara_lab.fitting.verdict import noise_floor, verdict_columns
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
    notation,
    parse,
)
from kelvara_lab.identification.pruning import Features, features, prune, relaxations_drawn
from kelvara_lab.spectrum.record import Spectrum, load, one_spectrum

# Where no point is inductive the candidates hold no inductor, yet a lead's inductance may still
# bend the highest frequencies; the best few searched circuits are tried again with one in series.
INDUCTOR_TRIES = 6
COLUMNS = [
    "circuit",
    "name",
    "elements",
    "parameters",
    "values",
    "chi_square",
    "aic",
    "bic",
    "score",
    "trusted",
    "status",
    "finding",
    "verdict",
    "stage",
    "report",
]


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


def _drt_relaxations(spectrum: Spectrum) -> int | None:
    """The DRT's peak count, where the DRT succeeds."""
    try:
        result = drt(
            (spectrum.frequencies, spectrum.impedances),
            inductance=bool(np.any(spectrum.impedances.imag > 0)),
        )
        return int(len(result.peaks))
    except (ValueError, RuntimeError, np.linalg.LinAlgError):
        return None


def _fit_one(
    circuit: str, spectrum: Spectrum, search: str, seed: int, floor: float
) -> FitReport | None:
    with no_network_warning_silenced():
        try:
            # Hundreds of candidates: every search here runs at the least effort, which
            # keeps a spectrum within seconds.
            return fit(
                circuit,
                spectrum,
                search=search,  # type: ignore[arg-type]
                seed=seed,
                effort=1,
                check=False,
                noise_floor=floor,
            )
        except ValueError:
            return None  # a fit that cannot run is no candidate; the row records it


def _fit_chunk(
    circuits: Sequence[str],
    frequencies: np.ndarray,
    impedances: np.ndarray,
    search: str,
    seed: int,
    floor: float,
    definitions: tuple[dict[str, Any], ...] = (),
) -> list[FitReport | None]:
    ensure(definitions)  # a Dask worker has only the custom elements its work brings
    spectrum = Spectrum(frequencies, impedances)
    return [_fit_one(c, spectrum, search, seed, floor) for c in circuits]


def _fit_all(
    circuits: list[str],
    spectrum: Spectrum,
    search: str,
    seed: int,
    floor: float,
    workers: int,
    client: Any,
) -> list[FitReport | None]:
    if not circuits:
        return []
    if client is not None:
        # Chunks of a few fits: one task per fit would cost more in scheduling than in fitting.
        size = max(1, math.ceil(len(circuits) / (4 * max(1, len(client.nthreads())))))
        chunks = [circuits[i : i + size] for i in range(0, len(circuits), size)]
        futures = [
            client.submit(
                _fit_chunk,
                chunk,
                spectrum.frequencies,
                spectrum.impedances,
                search,
                seed,
                floor,
                tuple(_engine.custom_elements()),
                pure=False,
            )
            for chunk in chunks
        ]
        return [report for part in client.gather(futures) for report in part]

    def one(circuit: str) -> FitReport | None:
        return _fit_one(circuit, spectrum, search, seed, floor)

    if workers == 1:
        return [one(c) for c in circuits]
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(one, circuits))


def score(report: FitReport | None) -> float:
    """BIC with each undetermined or at-bound parameter counted twice (inf for no fit)."""
    if report is None or not math.isfinite(report.bic):
        return math.inf
    unpaid = (
        0
        if report.verdict is None
        else (len(report.verdict.undetermined) + len(report.verdict.at_bound))
    )
    return report.bic + math.log(2 * report.points) * unpaid


def _row(
    tree: Node, circuit: str, name: str, report: FitReport | None, stage: str
) -> dict[str, Any]:
    row: dict[str, Any] = {
        "circuit": circuit,
        "name": name,
        "elements": tree.size,
        "key": tree.text,
    }
    if report is None:
        row.update(parameters=0, values={}, chi_square=math.nan, aic=math.nan, bic=math.nan)
        row.update(score=math.inf, trusted=False, status="fail", finding="no fit")
        row.update(verdict="no fit", stage=stage, report=None)
        return row
    row.update(
        parameters=len(report.names) - len(report.fixed),
        values=dict(zip(report.names, report.values, strict=True)),
        chi_square=report.chi_square,
        aic=report.aic,
        bic=report.bic,
        score=score(report),
        **verdict_columns(report),
        stage=stage,
        report=report,
    )
    return row


def _with_series_inductor(
    trees: list[Node], final: dict[int, tuple[FitReport | None, str]], max_elements: int
) -> list[Node]:
    """Up to ``INDUCTOR_TRIES`` of the best searched trees without an inductor, with one in
    series."""
    ranked = sorted(
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
    for i in ranked:
        if relaxations_drawn(trees[i]) not in groups:
            groups.add(relaxations_drawn(trees[i]))
            first.append(i)
    known = {t.text for t in trees}
    out = []
    for i in first + ranked:
        tree = join(SERIES, (leaf("L"), trees[i]))
        if tree.size <= max_elements and tree.text not in known:
            out.append(tree)
            known.add(tree.text)
        if len(out) == INDUCTOR_TRIES:
            break
    return out


def _promoted(order: list[int], trees: Sequence[Node], count: int, per_size: int) -> list[int]:
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


def identify(
    data: Any,
    z: Any = None,
    *,
    elements: Iterable[str] = ELEMENTS,
    max_elements: int = 6,
    relaxations: int | None = None,
    thorough: int | None = 24,
    per_size: int = 2,
    seed: int = 0,
    workers: int | None = None,
    client: Any = None,
    check: bool = True,
) -> pd.DataFrame:
    """Rank every plausible circuit of `elements` (up to `max_elements`) for `data`, best first.

    `data` is a BDF frame, a file path or a pair ``(f, z)`` (one spectrum). `relaxations`
    gives the number of relaxations the data resolve; by default the DRT's peak count, or the
    spectrum's own peaks where the DRT is not available. See the module docstring for the
    stages; ``thorough=None`` runs the search on every survivor. The table's ``attrs`` say how
    many candidates the grammar made, how many were redundant or equivalent, how many each
    pruning rule dropped, how many were fitted at each stage, and the seconds taken.
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
    workers = workers or os.cpu_count() or 1
    floor = noise_floor(spectrum.frequencies, spectrum.impedances)
    source = "given"
    if relaxations is None:
        relaxations = _drt_relaxations(spectrum)
        source = "DRT peaks"
    found: Features = features(spectrum.frequencies, spectrum.impedances, relaxations, source)
    trees, generated, redundant = candidate_set(kinds, max_elements)
    survivors, dropped = prune(trees, found)
    if not survivors and found.relaxations is not None:
        # The relaxation count is the least certain reading; where the rules together leave
        # nothing, it is dropped rather than the spectrum left without a circuit.
        found = dataclasses.replace(found, relaxations=None, interior=None)
        survivors, dropped = prune(trees, found)
    registry = registry_keys()
    names = [registry.get(equivalence_key(t) or "", "") for t in survivors]
    circuits = [REGISTRY[n] if n else notation(t) for t, n in zip(survivors, names, strict=True)]
    setup = time.perf_counter() - began

    if thorough is None:
        screened: list[FitReport | None] = [None] * len(survivors)
        promoted = list(range(len(survivors)))
    else:
        screened = _fit_all(circuits, spectrum, "quick", seed, floor, workers, client)
        order = sorted(range(len(survivors)), key=lambda i: (score(screened[i]), circuits[i]))
        promoted = _promoted(order, survivors, thorough, per_size)
    screen_seconds = time.perf_counter() - began - setup
    searched = _fit_all(
        [circuits[i] for i in promoted], spectrum, "thorough", seed, floor, workers, client
    )
    final: dict[int, tuple[FitReport | None, str]] = {
        i: (report, "screen") for i, report in enumerate(screened) if i not in set(promoted)
    }
    for i, report in zip(promoted, searched, strict=True):
        # The search starts from the local fit's start too, so it never ends above it; a
        # failed search keeps the screen's fit.
        final[i] = (report if report is not None else screened[i], "search")
    kept = len(survivors)
    extra: list[Node] = []
    if found.inductive_points == "none" and "L" in kinds:
        extra = _with_series_inductor(survivors, final, max_elements)
        reports = _fit_all(
            [notation(t) for t in extra], spectrum, "thorough", seed, floor, workers, client
        )
        for tree, report in zip(extra, reports, strict=True):
            survivors.append(tree)
            name = registry.get(equivalence_key(tree) or "", "")
            names.append(name)
            circuits.append(REGISTRY[name] if name else notation(tree))
            final[len(survivors) - 1] = (report, "search")
            promoted.append(len(survivors) - 1)
    rows = [_row(survivors[i], circuits[i], names[i], *final[i]) for i in range(len(survivors))]
    table = pd.DataFrame(rows, columns=[*COLUMNS, "key"])
    # Searched fits first, then by score, ties by the canonical text: the same order whatever
    # order the fits finished in.
    table["searched_first"] = table["stage"] != "search"
    table = table.sort_values(["searched_first", "score", "key"], kind="stable")
    table = table.drop(columns=["key", "searched_first"]).reset_index(drop=True)
    table.index = pd.RangeIndex(1, len(table) + 1, name="rank")
    table.attrs.update(
        generated=generated,
        redundant=redundant,
        distinct=len(trees),
        pruned=dict(dropped),
        survivors=kept,
        inductor_tries=len(extra),
        screened=0 if thorough is None else len(survivors),
        searched=len(promoted),
        noise_floor=floor,
        features=str(found),
        seconds=time.perf_counter() - began,
        seconds_setup=setup,
        seconds_screen=screen_seconds,
    )
    return ranked_table(table)
