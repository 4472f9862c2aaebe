"""The ``fit`` and ``compare`` commands of ``kelvara-lab``."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import click


def _pairs(values: tuple[str, ...], option: str) -> dict[str, str]:
    out = {}
    for text in values:
        name, sep, value = text.partition("=")
        if not sep or not name or not value:
            raise click.BadParameter(f"expected NAME=VALUE, got {text!r}", param_hint=option)
        out[name.strip()] = value.strip()
    return out


def _number(text: str, option: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise click.BadParameter(f"not a number: {text!r}", param_hint=option) from None


@click.command("fit")
@click.argument("files", nargs=-1, required=True, type=click.Path(path_type=Path))
@click.option("--circuit", required=True, help="Notation or registry name, e.g. two_rq_l.")
@click.option("--fix", "fix", multiple=True, metavar="NAME=VALUE", help="Hold a parameter.")
@click.option("--bound", "bound", multiple=True, metavar="NAME=LO:HI", help="Narrow a box.")
@click.option("--start", "start", multiple=True, metavar="NAME=VALUE", help="A start value.")
@click.option(
    "--search",
    type=click.Choice(["thorough", "local"]),
    default="thorough",
    show_default=True,
    help="thorough: the spectrum-scaled search; local: the local fit from the start alone.",
)
@click.option("--seed", type=click.IntRange(min=0), default=0, show_default=True)
@click.option("--method", default="levenberg_marquardt", show_default=True)
@click.option("--out", type=click.Path(path_type=Path), help="results.parquet or results.csv")
@click.option("--plots", type=click.Path(path_type=Path, file_okay=False), help="PNG folder.")
@click.option("--workers", type=click.IntRange(min=1), help="Processes on this machine.")
@click.option("--scheduler", help="Address of a Dask scheduler, e.g. tcp://host:8786.")
@click.option("--report/--no-report", default=None, help="Print each fit's full report.")
@click.option("--progress/--no-progress", default=True, show_default=True)
def fit_command(
    files: tuple[Path, ...],
    circuit: str,
    fix: tuple[str, ...],
    bound: tuple[str, ...],
    start: tuple[str, ...],
    search: str,
    seed: int,
    method: str,
    out: Path | None,
    plots: Path | None,
    workers: int | None,
    scheduler: str | None,
    report: bool | None,
    progress: bool,
) -> None:
    """Fit CIRCUIT to every spectrum in FILE... and print a summary table.

    Exits with status 1 when any spectrum fails.
    """
    import kelvara
    from kelvara_lab.batch import fit_many, write_results

    try:
        kelvara.Circuit(circuit)
    except ValueError as error:
        raise click.BadParameter(str(error).splitlines()[0], param_hint="--circuit") from None
    if workers and scheduler:
        raise click.UsageError("give --workers or --scheduler, not both")
    if out is not None and out.suffix.lower() not in (".parquet", ".csv"):
        raise click.BadParameter("expected a .parquet or .csv file", param_hint="--out")
    fixed = {k: _number(v, "--fix") for k, v in _pairs(fix, "--fix").items()}
    bounds = {}
    for name, text in _pairs(bound, "--bound").items():
        lo, sep, hi = text.partition(":")
        if not sep:
            raise click.BadParameter(
                f"expected NAME=LO:HI, got {name}={text}", param_hint="--bound"
            )
        bounds[name] = (_number(lo, "--bound"), _number(hi, "--bound"))
    starts = {k: _number(v, "--start") for k, v in _pairs(start, "--start").items()}
    options: dict[str, Any] = {"method": method, "search": search, "seed": seed}
    if starts:
        options["start"] = starts
    if fixed:
        options["fixed"] = fixed
    if bounds:
        options["bounds"] = bounds

    from kelvara_lab import fitting

    try:  # parameter names and values, checked once rather than once per spectrum
        if fixed or bounds:
            fitting.parameter_boxes(kelvara.Circuit(circuit), fixed, bounds)
        fitting.start_values(kelvara.Circuit(circuit), starts)
    except ValueError as error:
        raise click.UsageError(str(error)) from None

    executor: Any = "serial" if len(files) == 1 else None
    client = None
    if scheduler:
        from distributed import Client

        client = Client(scheduler)  # type: ignore[no-untyped-call]
        executor = client
    elif workers:
        from concurrent.futures import ProcessPoolExecutor
        from multiprocessing import get_context

        executor = ProcessPoolExecutor(max_workers=workers, mp_context=get_context("spawn"))
    try:
        table = fit_many(
            circuit, [str(f) for f in files], executor=executor, progress=progress, **options
        )
    finally:
        if client is not None:
            client.close()  # type: ignore[no-untyped-call]
        elif workers:
            executor.shutdown()
    values = [c for c in table.columns if " / " in c and " stderr / " not in c]
    shown = table[["spectrum", *values, "reduced_chi_square", "success", "verdict"]]
    click.echo(shown.to_string(index=False, float_format=lambda v: f"{v:.5g}"))
    for _, row in table[table["error"] != ""].iterrows():
        click.echo(f"{row['spectrum']}: error: {row['error']}", err=True)
    if out is not None:
        write_results(table, out)
        click.echo(f"results written to {out}")
    if report or plots is not None or (report is None and len(table) == 1):
        _reports(circuit, files, options, plots, show=report is not False)
    if not table["success"].all():
        raise SystemExit(1)


def _reports(
    circuit: str, files: tuple[Path, ...], options: dict[str, Any], plots: Path | None, show: bool
) -> None:
    """Full reports and pictures, one per spectrum (the batch table keeps only numbers)."""
    from kelvara_lab.fitting import fit
    from kelvara_lab.io import read, spectra

    if plots is not None:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        plots.mkdir(parents=True, exist_ok=True)
    for path in files:
        try:
            parts = list(spectra(read(path)))
        except Exception:  # noqa: BLE001 - already reported in the table
            continue
        for index, part in parts:
            try:
                result = fit(circuit, part.drop(columns=["Spectrum"], errors="ignore"), **options)
            except ValueError:
                continue
            if show:
                click.echo("")
                click.echo(f"{path}" + (f" #{index}" if len(parts) > 1 else ""))
                click.echo(str(result))
            if plots is not None:
                target = plots / f"{path.stem}-{index}-fit.png"
                figure = result.plot()
                figure.savefig(target, dpi=110)
                plt.close(figure)
                click.echo(f"picture written to {target}")


@click.command("compare")
@click.argument("files", nargs=-1, required=True, type=click.Path(path_type=Path))
@click.option("--circuits", help="Comma-separated candidates (default: the eleven registry ones).")
@click.option("--progress/--no-progress", default=True, show_default=True)
def compare_command(files: tuple[Path, ...], circuits: str | None, progress: bool) -> None:
    """Rank candidate circuits by BIC for every spectrum in FILE...

    Exits with status 1 when a file cannot be read or no candidate fits.
    """
    from tqdm.auto import tqdm

    from kelvara_lab.cli import read_or_report
    from kelvara_lab.compare import compare
    from kelvara_lab.io import spectra

    names = None if circuits is None else [c.strip() for c in circuits.split(",") if c.strip()]
    if names is not None and not names:
        raise click.BadParameter("no circuits given", param_hint="--circuits")
    failed = False
    for path in tqdm(files, disable=not progress or len(files) < 2, desc="comparing"):
        frame = read_or_report(path)
        if frame is None:
            failed = True
            continue
        for index, part in spectra(frame):
            try:
                table = compare(part.drop(columns=["Spectrum"], errors="ignore"), names)
            except ValueError as error:
                click.echo(f"{path}: error: {error}", err=True)
                failed = True
                continue
            click.echo(f"{path}" + (f" #{index}" if frame.attrs.get("spectra", 1) > 1 else ""))
            shown = table[["rank", "parameters", "reduced_chi_square", "aic", "bic", "error"]]
            click.echo(shown.to_string(float_format=lambda v: f"{v:.5g}"))
            failed |= not (table["error"] == "").any()
    if failed:
        raise SystemExit(1)


def register(group: click.Group) -> None:
    group.add_command(fit_command)
    group.add_command(compare_command)
