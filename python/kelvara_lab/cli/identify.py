"""The ``identify`` command of ``kelvara-lab``: which circuit fits each spectrum best."""

from __future__ import annotations

from pathlib import Path

import click

from kelvara_lab.cli.options import make_folder
from kelvara_lab.identification.candidates import ELEMENTS


@click.command("identify")
@click.argument("files", nargs=-1, required=True, type=click.Path(path_type=Path))
@click.option(
    "--elements",
    default=",".join(ELEMENTS),
    show_default=True,
    help="Element kinds the candidates are built from, comma-separated.",
)
@click.option("--max-elements", type=click.IntRange(1, 8), default=6, show_default=True)
@click.option("--top", type=click.IntRange(min=1), default=5, show_default=True)
@click.option("--seed", type=click.IntRange(min=0), default=0, show_default=True)
@click.option("--workers", type=click.IntRange(min=1), help="Threads (default: one per core).")
@click.option("--plots", type=click.Path(path_type=Path, file_okay=False), help="PNG folder.")
def command(
    files: tuple[Path, ...],
    elements: str,
    max_elements: int,
    top: int,
    seed: int,
    workers: int | None,
    plots: Path | None,
) -> None:
    """Rank candidate circuits for every spectrum in FILE... and print the best.

    The table shows each circuit's notation and registry name, its score (BIC, undetermined
    parameters counted against a circuit), relative likelihood against the best score
    (exp(-dscore/2)), the verdict's status (* where the row is trusted) and its first finding,
    or the plausibility rule the circuit breaks. --plots draws the best three against the data.
    Exits with status 1 when a file cannot be read or a spectrum fails its data checks.
    """
    from kelvara_lab.cli.options import read_or_report, save_figure
    from kelvara_lab.identification.rank import identify
    from kelvara_lab.identification.table import summary
    from kelvara_lab.io.read import spectra
    from kelvara_lab.spectrum.record import DataError
    from kelvara_lab.views import plot

    kinds = tuple(k.strip() for k in elements.split(",") if k.strip())
    if plots is not None:
        make_folder(plots, "--plots")
    failed = False
    for path in files:
        frame = read_or_report(path)
        if frame is None:
            failed = True
            continue
        for index, sub in spectra(frame):
            try:
                table = identify(
                    sub, elements=kinds, max_elements=max_elements, seed=seed, workers=workers
                )
            except DataError as error:
                click.echo(f"{path}: spectrum {index}: {error}", err=True)
                failed = True
                continue
            except ValueError as error:
                raise click.UsageError(str(error)) from None
            a = table.attrs
            click.echo(f"{path} spectrum {index}")
            click.echo(
                f"  {a['distinct']} distinct candidates, {a['survivors']} after pruning, "
                f"{a['screened']} screened, {a['searched']} searched, {a['seconds']:.1f} s"
            )
            if not a["distinguishable"]:
                click.echo("  too few points or too noisy to tell circuits apart: none trusted")
            for line in summary(table, top):
                click.echo(line)
            if plots is not None and table["report"].notna().any():
                target = plots / f"{path.stem}-{index}-identify.png"
                save_figure(plot.candidates(table, f"{path.name} spectrum {index}"), target)
                click.echo(f"  picture written to {target}")
    if failed:
        raise SystemExit(1)
