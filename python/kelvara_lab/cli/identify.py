"""The ``identify`` command of ``kelvara-lab``: which circuit fits each spectrum best."""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

import click

from kelvara_lab.cli.options import make_folder
from kelvara_lab.identification.candidates import ELEMENTS


def relative_likelihood(scores: Any) -> Any:
    """exp(-(score - best) / 2) per row: how much less likely each model is than the first."""
    import numpy as np

    values = np.asarray(scores, dtype=float)
    best = np.nanmin(values) if np.isfinite(values).any() else math.nan
    return np.exp(-(values - best) / 2)


def _summary(table: Any, top: int) -> list[str]:
    likelihood = relative_likelihood(table["score"])
    shown = table.head(top)
    width = max(8, *(len(c) for c in shown["circuit"]))
    lines = [
        f"  {'rank':>4s}  {'circuit':{width}s}  {'name':14s} {'BIC':>10s} "
        f"{'rel. lik.':>9s}  verdict"
    ]
    for (rank, row), lik in zip(shown.iterrows(), likelihood, strict=False):
        lines.append(
            f"  {rank:4d}  {row['circuit']:{width}s}  {row['name'] or '-':14s} {row['bic']:10.2f} "
            f"{lik:9.3g}  {row['verdict']}"
        )
    return lines


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

    The table shows each circuit's notation, registry name, BIC, relative likelihood against
    the first (exp(-dBIC/2), with undetermined parameters counted against a circuit) and the
    verdict. --plots draws the best three against the data. Exits with status 1 when a file
    cannot be read or a spectrum fails its data checks.
    """
    from kelvara_lab.cli.options import read_or_report, save_figure
    from kelvara_lab.identification.rank import identify
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
            click.echo(
                f"{path} spectrum {index}: {a['generated']} candidates, {a['distinct']} distinct, "
                f"{a['survivors']} after pruning, {a['screened']} screened, {a['searched']} "
                f"searched, {a['seconds']:.1f} s"
            )
            for line in _summary(table, top):
                click.echo(line)
            if plots is not None and table["report"].notna().any():
                target = plots / f"{path.stem}-{index}-identify.png"
                save_figure(plot.candidates(table, f"{path.name} spectrum {index}"), target)
                click.echo(f"  picture written to {target}")
    if failed:
        raise SystemExit(1)
