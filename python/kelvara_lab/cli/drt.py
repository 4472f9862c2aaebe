"""The ``drt`` command of ``kelvara-lab``."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import click

from kelvara_lab.cli.options import check_writable_file, make_folder


def _lambda(text: str) -> float | str:
    if text == "auto":
        return text
    try:
        value = float(text)
    except ValueError:
        raise click.BadParameter(f"expected 'auto' or a number, got {text!r}") from None
    if not value >= 0:
        raise click.BadParameter(f"lambda must be >= 0, got {text}")
    return value


@click.command("drt")
@click.argument("files", nargs=-1, required=True, type=click.Path(path_type=Path))
@click.option(
    "--lambda", "lambda_text", default="auto", show_default=True, help="auto or a number."
)
@click.option("--criterion", default="lcurve", show_default=True, help="lcurve, gcv, mgcv, re-im.")
@click.option("--mode", default="complex", show_default=True, help="complex, real or imag.")
@click.option("--inductance/--no-inductance", default=False, show_default=True)
@click.option("--plots", type=click.Path(path_type=Path, file_okay=False), help="PNG folder.")
@click.option("--out", type=click.Path(path_type=Path), help="results.parquet or results.csv")
@click.option("--progress/--no-progress", default=True, show_default=True)
def command(
    files: tuple[Path, ...],
    lambda_text: str,
    criterion: str,
    mode: str,
    inductance: bool,
    plots: Path | None,
    out: Path | None,
    progress: bool,
) -> None:
    """Distribution of relaxation times of every spectrum in FILE..., with a table of peaks.

    Exits with status 1 when any spectrum fails.
    """
    if out is not None:
        if out.suffix.lower() not in (".parquet", ".csv"):
            raise click.BadParameter("expected a .parquet or .csv file", param_hint="--out")
        check_writable_file(out, "--out")
    if plots is not None:
        make_folder(plots, "--plots")

    from kelvara_lab.batch.drt import drt_table
    from kelvara_lab.io.results import write_results

    options: dict[str, Any] = {
        "lambda_": _lambda(lambda_text),
        "criterion": criterion,
        "mode": mode,
        "inductance": inductance,
    }
    table, results = drt_table(
        [str(f) for f in files],
        keep_results=plots is not None,
        executor="serial",
        progress=progress,
        **options,
    )
    shown = table.drop(columns=["error"])
    click.echo(shown.to_string(index=False, float_format=lambda v: f"{v:.5g}"))
    for _, row in table[table["error"] != ""].iterrows():
        click.echo(f"{row['spectrum']}: error: {row['error']}", err=True)
    if out is not None:
        write_results(table, out)
        click.echo(f"results written to {out}")
    if plots is not None:
        _pictures(results, plots)
    if (table["error"] != "").any():
        raise SystemExit(1)


def _pictures(results: dict[str, Any], folder: Path) -> None:
    from kelvara_lab.cli.options import file_and_index, save_figure

    for ident, result in results.items():
        path, index = file_and_index(ident)
        target = folder / f"{Path(path).stem}-{index}-drt.png"
        save_figure(result.plot(), target)
        click.echo(f"picture written to {target}")
