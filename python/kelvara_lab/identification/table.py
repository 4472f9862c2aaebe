"""identify's table: one row per fitted candidate, in the ranking's order, and its readable
views (the top rows as text within a terminal's width, and HTML for a notebook)."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import pandas as pd

from kelvara_lab.fitting.report import FitReport

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
    "rule",
    "verdict",
    "stage",
    "report",
]


def verdict_status(report: FitReport | None) -> tuple[str, str]:
    """(status, first finding) of a fit's verdict: ``pass``, ``warn`` or ``fail`` and the
    sentence that says why."""
    if report is None or report.verdict is None:
        return "fail", "no fit"
    return report.verdict.status, report.verdict.headline


def row(
    key: str,
    elements: int,
    circuit: str,
    name: str,
    report: FitReport | None,
    stage: str,
    score: float,
    rule: str,
    trusted: bool,
) -> dict[str, Any]:
    status, finding = verdict_status(report)
    out: dict[str, Any] = {
        "circuit": circuit,
        "name": name,
        "elements": elements,
        "key": key,
        "score": score,
        "rule": rule,
        "status": status,
        "finding": finding,
        "stage": stage,
        "report": report,
        "trusted": trusted,
    }
    if report is None:
        out.update(parameters=0, values={}, chi_square=math.nan, aic=math.nan, bic=math.nan)
        out.update(verdict="no fit")
        return out
    out.update(
        parameters=len(report.names) - len(report.fixed),
        values=dict(zip(report.names, report.values, strict=True)),
        chi_square=report.chi_square,
        aic=report.aic,
        bic=report.bic,
        verdict=str(report.verdict),
    )
    return out


def ranked(rows: list[dict[str, Any]]) -> pd.DataFrame:
    """The table in the ranking's order: circuits that keep every plausibility rule before
    those that break one, searched fits before screened-only ones, then by score; ties by the
    canonical text, so the order is the same whatever order the fits finished in."""
    table = pd.DataFrame(rows, columns=[*COLUMNS, "key"])
    table["breaks"] = table["rule"] != ""
    table["screened_only"] = table["stage"] != "search"
    table = table.sort_values(["breaks", "screened_only", "score", "key"], kind="stable")
    table = table.drop(columns=["key", "breaks", "screened_only"]).reset_index(drop=True)
    table.index = pd.RangeIndex(1, len(table) + 1, name="rank")
    return table


def relative_likelihood(scores: Any) -> Any:
    """exp(-(score - first) / 2) per row: how much less likely each model is than the first
    ranked (above 1 for a rule-breaker that fits better)."""
    values = np.asarray(scores, dtype=float)
    first = values[0] if len(values) and np.isfinite(values[0]) else math.nan
    with np.errstate(over="ignore", invalid="ignore"):
        return np.exp(-(values - first) / 2)


def _clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 1] + "~"


def summary(table: pd.DataFrame, top: int = 5, width: int = 100) -> list[str]:
    """The first `top` rows as lines no longer than `width`: rank, circuit (and registry name),
    score, relative likelihood, verdict status and the first finding, or the rule broken."""
    shown = table.head(top)
    likelihood = relative_likelihood(table["score"])
    labels = [
        c + (f" ({n})" if n else "") for c, n in zip(shown["circuit"], shown["name"], strict=True)
    ]
    circuit_width = min(36, max([8, *(len(label) for label in labels)]))
    head = f"  {'rank':>4s} {'circuit':{circuit_width}s} {'score':>9s} {'rel.lik':>7s} status  "
    lines = [head + "finding / rule broken"]
    for (rank, r), label, lik in zip(shown.iterrows(), labels, likelihood, strict=False):
        note = f"breaks: {r['rule']}" if r["rule"] else r["finding"]
        mark = "*" if r["trusted"] else " "
        line = (
            f"  {rank:4d} {_clip(label, circuit_width):{circuit_width}s} {r['score']:9.1f} "
            f"{lik:7.2g} {r['status']:4s}{mark}  {note}"
        )
        lines.append(_clip(line, width))
    lines.append(_clip("  * trusted: the verdict passes and no plausibility rule is broken", width))
    return lines
