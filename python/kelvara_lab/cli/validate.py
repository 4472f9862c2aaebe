"""``kelvara-lab validate``: the Lin-KK test of every spectrum, one row each, with the reason
for every failure."""

from __future__ import annotations

from pathlib import Path
from typing import TYPE_CHECKING, Any

import click

from kelvara_lab.cli.options import files_argument, make_folder, read_or_report

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
@click.option(
    "--plot",
    "plot_dir",
    type=click.Path(file_okay=False, path_type=Path),
    help="Write a residual plot per spectrum into this folder.",
)
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
def command(
    files: tuple[Path, ...],
    plot_dir: Path | None,
    mu_criterion: float | None,
    max_noise: float | None,
) -> None:
    """Lin-KK test of every spectrum in each FILE, as a table; a FAIL row says why.

    Exits with status 1 when a file cannot be read or a spectrum fails.
    """
    from kelvara_lab.io.read import spectra
    from kelvara_lab.validity.kk import MU_CRITERION, kk_test

    # Options left out keep the library's defaults, written once, in kk_test.
    given = {"mu_criterion": mu_criterion, "max_noise": max_noise}
    limits: dict[str, Any] = {name: value for name, value in given.items() if value is not None}
    criterion = MU_CRITERION if mu_criterion is None else mu_criterion

    if plot_dir is not None:
        make_folder(plot_dir, "--plot")
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        from kelvara_lab.views import plot
    failed = False
    width = max(8, *(len(p.name) for p in files))
    header = (
        f"{'file':{width}s} {'spectrum':>8s} {'points':>6s} {'M':>3s} {'mu':>6s} "
        f"{'chi2_ps':>9s} {'noise %':>8s}  result"
    )
    click.echo(header)
    for path in files:
        frame = read_or_report(path)
        if frame is None:
            failed = True
            continue
        for index, sub in spectra(frame):
            try:
                result = kk_test(sub, **limits)
            except ValueError as error:
                click.echo(f"{path.name:{width}s} {index:8d}  error: {error}")
                failed = True
                continue
            verdict = "pass" if result.passed else f"FAIL: {failure_reason(result, criterion)}"
            click.echo(
                f"{path.name:{width}s} {index:8d} {len(sub):6d} {result.num_rc:3d} "
                f"{result.mu:6.3f} {result.pseudo_chi_square:9.3g} "
                f"{result.noise:8.3g}  {verdict}"
            )
            failed |= not result.passed
            if plot_dir is not None:
                figure, ax = plt.subplots(figsize=(5.5, 4), layout="constrained")
                plot.residuals(result, ax=ax)
                figure.savefig(plot_dir / f"{path.stem}-{index}-kk.png", dpi=110)
                plt.close(figure)
    if failed:
        raise SystemExit(1)
