"""The ``drt`` command of ``kelvara-lab``."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import click


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
    from kelvara_lab.batch import write_results
    from kelvara_lab.drt.batch import drt_many

    if out is not None and out.suffix.lower() not in (".parquet", ".csv"):
        raise click.BadParameter("expected a .parquet or .csv file", param_hint="--out")
    options: dict[str, Any] = {
        "lambda_": _lambda(lambda_text),
        "criterion": criterion,
        "mode": mode,
        "inductance": inductance,
    }
    table = drt_many([str(f) for f in files], executor="serial", progress=progress, **options)
    shown = table.drop(columns=["error"])
    click.echo(shown.to_string(index=False, float_format=lambda v: f"{v:.5g}"))
    for _, row in table[table["error"] != ""].iterrows():
        click.echo(f"{row['spectrum']}: error: {row['error']}", err=True)
    if out is not None:
        write_results(table, out)
        click.echo(f"results written to {out}")
    if plots is not None:
        _pictures(files, options, plots)
    if (table["error"] != "").any():
        raise SystemExit(1)


def _pictures(files: tuple[Path, ...], options: dict[str, Any], folder: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from kelvara_lab import plot
    from kelvara_lab.cli_common import file_spectra
    from kelvara_lab.drt import drt

    folder.mkdir(parents=True, exist_ok=True)
    for path, index, _, frame in file_spectra(files):
        try:
            result = drt(frame, **options)
        except ValueError:
            continue
        target = folder / f"{path.stem}-{index}-drt.png"
        figure = plot.drt(result)
        figure.savefig(target, dpi=110)
        plt.close(figure)
        click.echo(f"picture written to {target}")
