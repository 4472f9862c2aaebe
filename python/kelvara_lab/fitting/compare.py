"""Model choice: fit several circuits to one spectrum and rank them by BIC."""

from __future__ import annotations

import math
import os
from collections.abc import Iterable
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import pandas as pd

from kelvara_lab.circuit.model import model_of
from kelvara_lab.circuit.notation import REGISTRY
from kelvara_lab.fitting.ranked import ranked
from kelvara_lab.fitting.report import FitReport
from kelvara_lab.fitting.run import fit, no_network_warning_silenced
from kelvara_lab.fitting.verdict import noise_floor, verdict_columns
from kelvara_lab.spectrum.record import Spectrum, load


def _size(name: str) -> int:
    try:
        return len(model_of(name).param_names())
    except (ValueError, TypeError):
        return 0  # its fit raises the same error, and the row records it


def _one(name: str, spectrum: Spectrum, fit_options: dict[str, Any]) -> dict[str, Any]:
    row: dict[str, Any] = {"circuit": name}
    try:
        with no_network_warning_silenced():
            report: FitReport | None = fit(name, spectrum, **fit_options)
    except (ValueError, TypeError) as error:
        report = None
        row["error"] = str(error).splitlines()[0]
    if report is not None:
        row.update(
            notation=report.circuit,
            parameters=len(report.names),
            chi_square=report.chi_square,
            reduced_chi_square=report.reduced_chi_square,
            aic=report.aic,
            bic=report.bic,
            success=report.success,
            **verdict_columns(report),
            error="",
        )
    row["report"] = report
    return row


def _numbers(values: Any) -> bool:
    """Whether `values` is a sequence of numbers (impedances), not of circuit names."""
    try:
        return bool(np.asarray(values).dtype.kind in "iufc")
    except (TypeError, ValueError):
        return False


def compare(
    data: Any,
    second: Any = None,
    *,
    circuits: Iterable[str] | None = None,
    workers: int | None = None,
    check: bool = True,
    **fit_options: Any,
) -> pd.DataFrame:
    """Fit every candidate with the search and rank them by BIC (lowest first).

    `circuits` defaults to the eleven registry circuits. Each candidate is fitted by
    `kelvara_lab.fit` (the search by default; `fit_options` go there). The table has one row
    per candidate, indexed by the name given, with notation, parameter count, chi-square,
    reduced chi-square, AIC, BIC, success, ``trusted`` (the verdict's status is ``"pass"``),
    ``status``, ``finding`` (the verdict's first finding) and the ``verdict`` text, an
    ``error`` text for a fit that raised, and each fit's ``report``. The data are read and
    checked once, and their Lin-KK noise floor found once; `workers` threads fit the
    candidates (default: one per core). `data` takes every form `fit` takes, ``f, z`` too: the
    second argument is the circuits when it is text, the impedances when it is numbers
    (``compare(f, z, circuits=[...])``).
    """
    if second is not None and not isinstance(second, str) and _numbers(second):
        data = (data, second)  # compare(f, z)
    elif second is not None:
        if circuits is not None:
            raise TypeError("compare() got the circuits twice (by position and by name)")
        circuits = second
    spectrum = load(data, run_checks=check)
    # One Lin-KK floor for every candidate's verdict.
    fit_options.setdefault("noise_floor", noise_floor(spectrum.frequencies, spectrum.impedances))
    names = list(REGISTRY) if circuits is None else list(circuits)
    if not names:
        raise ValueError("no circuits to compare")
    # kelvara releases the interpreter lock while it fits, so the candidates share the
    # cores on threads; the ones with most parameters, usually the slowest, go first.
    order = sorted(range(len(names)), key=lambda i: -_size(names[i]))
    workers = workers or min(len(names), os.cpu_count() or 1)
    with ThreadPoolExecutor(max_workers=workers) as pool:
        done = list(pool.map(lambda i: _one(names[i], spectrum, fit_options), order))
    rows = [row for _, row in sorted(zip(order, done, strict=True), key=lambda pair: pair[0])]
    table = pd.DataFrame(rows).set_index("circuit")
    columns = ["notation", "parameters", "chi_square", "reduced_chi_square", "aic", "bic"]
    table = table.reindex(
        columns=[*columns, "success", "trusted", "status", "finding", "verdict", "error", "report"]
    )
    # A failed fit sorts last; a fit with a NaN criterion is not a choice either.
    bic = table["bic"].to_numpy(dtype=float)
    table = table.iloc[np.argsort(np.where(np.isnan(bic), math.inf, bic), kind="stable")]
    table["rank"] = range(1, len(table) + 1)
    return ranked(table)
