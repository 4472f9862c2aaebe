"""The fits identify runs: many candidates at the least effort, on threads or a Dask client,
and the score that orders them."""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np

from kelvara_lab import _engine
from kelvara_lab.circuit.elements import ensure
from kelvara_lab.fitting.report import FitReport
from kelvara_lab.fitting.run import fit, no_network_warning_silenced
from kelvara_lab.spectrum.record import Spectrum

# The smallest relative residual a score believes: an exact fit (chi-square 0 to rounding)
# scores as if each residual were this fraction of |Z|, so exact fits keep finite scores and
# the one with fewer parameters ranks first.
RESOLUTION = 1e-9

Start = Mapping[str, float] | None


def fit_one(
    circuit: str,
    spectrum: Spectrum,
    search: str,
    seed: int,
    floor: float,
    start: Start = None,
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
                start=start or None,
            )
        except ValueError:
            return None  # a fit that cannot run is no candidate; the row records it


def fit_chunk(
    jobs: Sequence[tuple[str, Start]],
    frequencies: np.ndarray,
    impedances: np.ndarray,
    search: str,
    seed: int,
    floor: float,
    definitions: tuple[dict[str, Any], ...] = (),
) -> list[FitReport | None]:
    ensure(definitions)  # a Dask worker has only the custom elements its work brings
    spectrum = Spectrum(frequencies, impedances)
    return [fit_one(c, spectrum, search, seed, floor, s) for c, s in jobs]


def fit_all(
    circuits: Sequence[str],
    spectrum: Spectrum,
    search: str,
    seed: int,
    floor: float,
    workers: int,
    client: Any = None,
    starts: Sequence[Start] | None = None,
) -> list[FitReport | None]:
    """One fit per circuit, in the circuits' order whatever order they finish in."""
    jobs = list(zip(circuits, starts or [None] * len(circuits), strict=True))
    if not jobs:
        return []
    if client is not None:
        # Chunks of a few fits: one task per fit would cost more in scheduling than in fitting.
        size = max(1, math.ceil(len(jobs) / (4 * max(1, len(client.nthreads())))))
        futures = [
            client.submit(
                fit_chunk,
                jobs[i : i + size],
                spectrum.frequencies,
                spectrum.impedances,
                search,
                seed,
                floor,
                tuple(_engine.custom_elements()),
                pure=False,
            )
            for i in range(0, len(jobs), size)
        ]
        return [report for part in client.gather(futures) for report in part]

    def one(job: tuple[str, Start]) -> FitReport | None:
        return fit_one(job[0], spectrum, search, seed, floor, job[1])

    if workers == 1:
        return [one(job) for job in jobs]
    with ThreadPoolExecutor(max_workers=workers) as pool:
        return list(pool.map(one, jobs))


def information(chi_square: float, residuals: int, parameters: int) -> float:
    """BIC of a fit, with chi-square no lower than ``RESOLUTION`` per residual (finite for an
    exact fit); inf where there is no fit."""
    if residuals <= 0 or not chi_square >= 0 or not math.isfinite(chi_square):
        return math.inf
    chi = max(chi_square, residuals * RESOLUTION**2)
    return residuals * math.log(chi / residuals) + math.log(residuals) * parameters


def score(report: FitReport | None) -> float:
    """BIC with each undetermined or at-bound parameter counted twice (inf for no fit)."""
    if report is None:
        return math.inf
    residuals = 2 * report.points
    parameters = len(report.names) - len(report.fixed)
    unpaid = (
        0
        if report.verdict is None
        else (len(report.verdict.undetermined) + len(report.verdict.at_bound))
    )
    return information(report.chi_square, residuals, parameters) + math.log(residuals) * unpaid


def best_possible(parameters: int, residuals: int, least_chi_square: float) -> float:
    """The lowest score a circuit of `parameters` can reach where no fit's chi-square falls
    below `least_chi_square`: a bound a screen may skip a candidate by."""
    return information(least_chi_square, residuals, parameters)
