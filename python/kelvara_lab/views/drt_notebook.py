"""The HTML table of a DRT for Jupyter: what ``DrtResult`` shows as ``_repr_html_``."""

from __future__ import annotations

from typing import TYPE_CHECKING

from kelvara_lab.views.notebook import number, table

if TYPE_CHECKING:
    from kelvara_lab.drt.result import DrtResult


def drt_result_html(result: DrtResult) -> str:
    """lambda and how it was chosen, the ends model, misfit against the noise floor, the
    warnings, and the peaks table."""
    chosen = "given" if result.criterion == "given" else f"chosen by {result.criterion}"
    rows = [
        ("lambda", f"{result.lambda_:.4g} ({chosen})"),
        ("ends", " - ".join(result.ends) + "".join(f"; {r}" for r in result.ends_reasons)),
        ("R_inf", f"{number(result.r_inf)} ohm"),
    ]
    if result.inductance is not None:
        rows.append(("L", f"{number(result.inductance)} H"))
    rows += [
        ("polarisation", f"{number(result.polarisation)} ohm"),
        (
            "misfit",
            f"{result.misfit:.3g} % of |Z| (noise floor {result.noise_floor:.3g} %)",
        ),
        *(("warning", text) for text in result.warnings),
    ]
    summary = table(rows, caption=f"DRT ({result.method}, {result.mode})")
    peaks = result.peaks
    columns = ("tau", "frequency", "r", "alpha", "width")
    body = [
        (k, f"{tau:.4g}", f"{frequency:.4g}", number(r), f"{alpha:.3f}", f"{width:.2f}")
        for k, (tau, frequency, r, alpha, width) in enumerate(
            zip(*(peaks[c].to_numpy(dtype=float) for c in columns), strict=True), start=1
        )
    ]
    header = ("peak", "tau / s", "f / Hz", "R / ohm", "alpha", "width / dec")
    return summary + (table(body, header=header) if body else table([("peaks", "none")]))
