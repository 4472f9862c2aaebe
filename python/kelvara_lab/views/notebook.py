"""HTML tables for Jupyter: what ``FitReport``, ``KKResult``, ``ZhitResult`` and the ranked
tables of ``compare`` and ``identify`` show as ``_repr_html_``.

Plain tables with escaped text and no scripts or styles of their own, so that they read the
same in JupyterLab, VS Code and a notebook rendered on a web page.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from html import escape
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    import pandas as pd

    from kelvara_lab.fitting.report import FitReport
    from kelvara_lab.validity.kk import KKResult
    from kelvara_lab.validity.zhit import ZhitResult


def number(value: float) -> str:
    return f"{value:.6g}" if math.isfinite(value) else str(value)


def table(rows: Iterable[Sequence[object]], header: Sequence[str] = (), caption: str = "") -> str:
    parts = ["<table>"]
    if caption:
        parts.append(f"<caption style='text-align:left'><b>{escape(caption)}</b></caption>")
    if header:
        cells = "".join(f"<th>{escape(h)}</th>" for h in header)
        parts.append(f"<thead><tr>{cells}</tr></thead>")
    parts.append("<tbody>")
    for row in rows:
        cells = "".join(
            f"<th style='text-align:left'>{escape(str(row[0]))}</th>"
            if i == 0 and not header
            else f"<td>{escape(str(cell))}</td>"
            for i, cell in enumerate(row)
        )
        parts.append(f"<tr>{cells}</tr>")
    parts.append("</tbody></table>")
    return "".join(parts)


def fit_report_html(report: FitReport) -> str:
    """The report's summary and verdict, parameters (value, standard error, unit) and data
    findings."""
    summary = table(
        [
            ("success", f"{report.success}" + (f" ({report.message})" if report.message else "")),
            *([("verdict", report.verdict.status)] if report.verdict is not None else []),
            ("engine", f"{report.engine}, method {report.method}, weight {report.weight}"),
            ("start", report.start),
            *((f"element {e.code}", f"Z = {e.formula}") for e in report.elements),
            ("points", f"{report.points} (dof {report.dof})"),
            ("chi-square", number(report.chi_square)),
            ("reduced chi-square", number(report.reduced_chi_square)),
            ("AIC / BIC", f"{number(report.aic)} / {number(report.bic)}"),
        ],
        caption=f"Fit of {report.circuit}",
    )
    rows = []
    for name, value, error, unit in zip(
        report.names, report.values, report.stderr, report.units, strict=True
    ):
        if name in report.fixed:
            spread, relative = "fixed", ""
        elif math.isfinite(error):
            spread = f"{error:.4g}"
            relative = f"{abs(error / value):.2%}" if value else ""
        else:
            spread, relative = "n/a", ""
        rows.append((name, number(value), spread, relative, unit))
    parameters = table(rows, header=("parameter", "value", "std. error", "relative", "unit"))
    verdict = (
        table(
            [(f.grade, f.kind, f.message) for f in report.verdict.findings],
            header=("grade", "question", "verdict: " + report.verdict.status),
        )
        if report.verdict is not None and report.verdict.findings
        else ""
    )
    findings = (
        table(
            [(f.severity, f.message) for f in report.findings],
            header=("severity", "data check"),
        )
        if report.findings
        else ""
    )
    return summary + verdict + parameters + findings


def kk_result_html(result: KKResult) -> str:
    """The Lin-KK verdict and the numbers behind it."""
    return table(
        [
            ("verdict", result.verdict),
            ("noise estimate", f"{result.noise:.3g} % of |Z| (limit {result.max_noise:g} %)"),
            ("RC elements", f"{result.num_rc} (mu {result.mu:.3f})"),
            ("pseudo chi-square", number(result.pseudo_chi_square)),
            ("points", f"{result.frequencies.size}"),
            ("series R", f"{number(result.series_resistance)} ohm"),
            ("series L", f"{number(result.inductance)} H"),
            (
                "series C",
                f"{number(result.capacitance)} F" if math.isfinite(result.capacitance) else "none",
            ),
        ],
        caption="Lin-KK test",
    )


def zhit_result_html(result: ZhitResult) -> str:
    """The Z-HIT verdict and where the deviation is largest."""
    worst = result.worst_point
    return table(
        [
            ("verdict", result.verdict),
            ("RMS deviation", f"{result.rms:.3g} % of |Z| (limit {result.limit:g} %)"),
            (
                "largest",
                f"{100 * abs(float(result.deviation[worst])):.3g} % at "
                f"{float(result.frequencies[worst]):.4g} Hz",
            ),
            ("points", f"{result.frequencies.size} ({int(result.inner.sum())} judged)"),
        ],
        caption="Z-HIT",
    )


def ranked_html(table: pd.DataFrame) -> str:
    """A ranked table of fits (``compare``, ``identify``) with every verdict in full and each
    report as its circuit, not as an object's text."""
    import pandas as pd

    shown = table.drop(columns=["report"], errors="ignore")
    with pd.option_context("display.max_colwidth", None, "display.max_columns", None):
        return str(shown.to_html(float_format=lambda v: f"{v:.6g}", escape=True))
