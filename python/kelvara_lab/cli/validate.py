"""``kelvara-lab validate``: the Lin-KK test of every spectrum, one row each, with the reason
for every failure."""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any

import click

from kelvara_lab.cli.options import files_argument, progress_option
from kelvara_lab.cli.outputs import Outputs, output_options, render
from kelvara_lab.cli.selection import Selection, read_chosen, selection_options

if TYPE_CHECKING:
    from kelvara_lab.validity.kk import KKResult


def failure_reason(result: KKResult, mu_criterion: float) -> str:
    """Why a test failed, with the numbers that decided it. The noise estimate decides; a mu
    that never fell below its criterion is said too, since every count was then a candidate."""
    reason = f"noise {result.noise:.3g} % above the {result.max_noise:g} % limit"
    if not result.mu_reached:
        reason += f" (mu never fell below {mu_criterion:g}; M = {result.num_rc})"
    return reason


@click.command("validate")
@files_argument
@selection_options
@output_options()
@click.option(
    "--mu",
    "mu_criterion",
    type=click.FloatRange(0, 1, min_open=True),
    help="mu criterion for the number of RC elements  [default: kk_test's]",
)
@click.option(
    "--max-noise",
    type=click.FloatRange(min=0),
    help="Largest estimated noise (percent of |Z|) that passes  [default: kk_test's]",
)
@progress_option
def command(
    files: tuple[Path, ...],
    selection: Selection,
    outputs: Outputs,
    mu_criterion: float | None,
    max_noise: float | None,
    progress: bool,
) -> None:
    """Lin-KK test of every spectrum in each FILE, as a table; a FAIL row says why.

    "noise %" is the Lin-KK noise estimate, sqrt(chi2_ps / 2N), in percent of |Z|: the
    residuals' RMS over both parts. A fit's verdict compares its residuals with the same
    number. Exits with status 1 when a file cannot be read or a spectrum fails.
    """
    import pandas as pd
    from tqdm.auto import tqdm

    from kelvara_lab.validity.kk import MU_CRITERION, kk_test

    # Options left out keep the library's defaults, written once, in kk_test.
    given = {"mu_criterion": mu_criterion, "max_noise": max_noise}
    limits: dict[str, Any] = {name: value for name, value in given.items() if value is not None}
    criterion = MU_CRITERION if mu_criterion is None else mu_criterion
    chosen, failed = read_chosen(files, selection)
    rows = []
    notes: list[str] = []  # said after the bar is closed
    for item in tqdm(chosen, desc="Lin-KK", disable=not progress):
        row: dict[str, Any] = {"file": item.path.name, "spectrum": item.index}
        try:
            result = kk_test(item.frame, **limits)
        except ValueError as error:
            rows.append({**row, "points": len(item.frame), "result": f"error: {error}"})
            failed = True
            continue
        verdict = "pass" if result.passed else f"FAIL: {failure_reason(result, criterion)}"
        rows.append(
            {
                **row,
                "points": len(item.frame),
                "M": result.num_rc,
                "mu": round(result.mu, 3),
                "chi2_ps": result.pseudo_chi_square,
                "noise %": result.noise,
                "result": verdict,
            }
        )
        failed |= not result.passed
        if outputs.plots is not None:
            notes.append(
                outputs.picture(_picture(result, item.title), f"{item.stem}-kk", say=False)
            )
    table = pd.DataFrame(
        rows, columns=["file", "spectrum", "points", "M", "mu", "chi2_ps", "noise %", "result"]
    )
    table["file"] = [click.format_filename(name) for name in table["file"]]
    click.echo(render(table, outputs.format, digits=3))
    for line in notes:
        outputs.note(line)
    outputs.write(table)
    if failed:
        raise SystemExit(1)


def _picture(result: KKResult, title: str) -> Any:
    """The Lin-KK picture (Nyquist with the fit, residuals), titled with the file."""
    from kelvara_lab.views import plot

    figure = plot.kk(result)
    figure.suptitle(title, fontsize=10)
    return figure
