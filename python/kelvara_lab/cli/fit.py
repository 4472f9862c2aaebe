"""``kelvara-lab fit``: one circuit fitted to every spectrum, a summary table, reports and
pictures. Every option, file and output place is checked before the first fit."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import click

from kelvara_lab.cli.options import check_circuit, files_argument, labels, progress_option
from kelvara_lab.cli.outputs import Outputs, output_options, render, wrap
from kelvara_lab.cli.selection import Selection, read_chosen, selection_options


def _pairs(values: tuple[str, ...], option: str) -> dict[str, str]:
    out: dict[str, str] = {}
    for text in values:
        name, sep, value = text.partition("=")
        name, value = name.strip(), value.strip()
        if not sep or not name or not value:
            raise click.BadParameter(f"expected NAME=VALUE, got {text!r}", param_hint=option)
        if name in out:
            raise click.BadParameter(f"{name} is given twice", param_hint=option)
        out[name] = value
    return out


def _number(text: str, option: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise click.BadParameter(f"not a number: {text!r}", param_hint=option) from None


def _check_method(method: str) -> None:
    """Refuse a method kelvara does not know; it checks the name before the data, so an empty
    spectrum asks it without fitting anything."""
    import kelvara

    try:
        kelvara.Circuit("R0").fit([], [], method=method, guess_init=False)
    except ValueError as error:
        if str(error).startswith("unknown fit method"):
            raise click.BadParameter(str(error), param_hint="--method") from None


def _client(address: str) -> Any:
    """A Dask client of the scheduler at `address`, or a usage error saying why not."""
    from distributed import Client

    try:
        return Client(address, timeout="10s")  # type: ignore[no-untyped-call]
    except (OSError, ValueError, TypeError) as error:
        message = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise click.BadParameter(
            f"cannot connect to {address!r}: {message}", param_hint="--scheduler"
        ) from None


@click.command("fit")
@files_argument
@selection_options
@output_options()
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
@click.option(
    "--method",
    default="levenberg_marquardt",
    show_default=True,
    help="kelvara's fit method, e.g. particle_swarm.",
)
@click.option("--workers", type=click.IntRange(min=1), help="Processes on this machine.")
@click.option("--scheduler", help="Address of a Dask scheduler, e.g. tcp://host:8786.")
@click.option(
    "--report/--no-report",
    default=None,
    show_default="report for a single spectrum",
    help="Print each fit's full report.",
)
@click.option(
    "--strict",
    is_flag=True,
    help="Exit with status 1 also when a fit ran but its verdict is fail.",
)
@progress_option
def command(
    files: tuple[Path, ...],
    selection: Selection,
    outputs: Outputs,
    circuit: str,
    fix: tuple[str, ...],
    bound: tuple[str, ...],
    start: tuple[str, ...],
    search: str,
    seed: int,
    method: str,
    workers: int | None,
    scheduler: str | None,
    report: bool | None,
    strict: bool,
    progress: bool,
) -> None:
    """Fit CIRCUIT to every spectrum in FILE... and print a summary table.

    Rows are labelled by file name; the --out table keeps the paths as given. The
    verdict compares the fit's residuals with the noise floor: the Lin-KK residuals of the
    same spectrum per degree of freedom (validate's "noise %" divides by the point count
    instead, so it reads a few per cent lower).

    Exit status: 0 when every spectrum was fitted; 1 when a file cannot be read or a fit
    fails to run (and, with --strict, when a verdict is fail); 2 for a usage error.
    """
    check_circuit(circuit, "--circuit")
    _check_method(method)
    if workers and scheduler:
        raise click.UsageError("give --workers or --scheduler, not both")
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

    from kelvara_lab.batch.fits import fit_table
    from kelvara_lab.circuit.model import model_of
    from kelvara_lab.fitting.inputs import parameter_boxes, start_values

    try:  # parameter names and values, checked once rather than once per spectrum
        if fixed or bounds:
            parameter_boxes(model_of(circuit), fixed, bounds)
        start_values(model_of(circuit), starts)
    except ValueError as error:
        raise click.UsageError(str(error)) from None

    sources: Any = [str(f) for f in files]  # read where the work runs, one row each
    unread = False
    readable = all(click.format_filename(f) == str(f) for f in files)
    if selection != Selection() or not readable:  # read here, before any fit
        chosen, unread = read_chosen(files, selection)
        sources = {item.ident: item.frame for item in chosen}
    executor: Any = "serial" if len(sources) == 1 else None
    client = None
    if scheduler:
        client = executor = _client(scheduler)
    elif workers:
        from concurrent.futures import ProcessPoolExecutor
        from multiprocessing import get_context

        executor = ProcessPoolExecutor(max_workers=workers, mp_context=get_context("spawn"))
    # The reports behind the rows, kept where they are printed or drawn, not fitted again.
    keep = bool(report) or outputs.plots is not None or (report is None and len(sources) == 1)
    try:
        table, reports = fit_table(
            circuit,
            sources,
            keep_reports=keep,
            executor=executor,
            progress=progress,
            **options,
        )
    finally:
        if client is not None:
            client.close()
        elif workers:
            executor.shutdown()
    names = labels([click.format_filename(f) for f in files])
    shown = table.copy()
    shown["spectrum"] = [_label(ident, names) for ident in table["spectrum"]]
    values = [c for c in table.columns if " / " in c and " stderr / " not in c]
    numbers = shown[["spectrum", "reduced_chi_square", "success", *values]]
    if outputs.format == "table":
        click.echo(render(numbers, "table", label="spectrum"))
        for label, verdict in zip(shown["spectrum"], shown["verdict"], strict=True):
            click.echo(wrap(f"{label}  {verdict}"))
    else:
        click.echo(render(shown[[*numbers.columns, "verdict"]], outputs.format))
    for _, row in table[table["error"] != ""].iterrows():
        click.echo(f"{row['spectrum']}: error: {row['error']}", err=True)
    outputs.write(table)
    show = bool(report) or (report is None and len(table) == 1)
    for ident, result in reports.items():
        _print_and_draw(ident, result, outputs, show)
    failed = unread or not table["success"].all()
    if strict:
        failed |= any(str(v).startswith("fail") for v in table["verdict"])
    if failed:
        raise SystemExit(1)


def _label(ident: str, names: dict[str, str]) -> str:
    """A row's label: its file's short label, with "#k" kept for the k-th spectrum of a file."""
    path, sep, index = ident.rpartition("#")
    if sep and path in names and index.isdigit():
        return f"{names[path]}#{index}"
    return names.get(ident, ident)


def _print_and_draw(ident: str, result: Any, outputs: Outputs, show: bool) -> None:
    """One spectrum's full report and picture (the table keeps only numbers)."""
    from kelvara_lab.cli.options import file_and_index

    path, index = file_and_index(ident)
    if show:
        outputs.note("")
        outputs.note(ident if path == ident else f"{path} #{index}")
        outputs.note(wrap(str(result)))
    if outputs.plots is not None:
        figure = result.plot()
        figure.suptitle(f"{Path(path).name}: {figure.get_suptitle()}", fontsize=10)
        outputs.picture(figure, f"{Path(path).stem}-{index}-fit")
