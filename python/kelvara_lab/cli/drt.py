"""The ``drt`` command of ``kelvara-lab``."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import click

from kelvara_lab.cli.options import files_argument, progress_option
from kelvara_lab.cli.outputs import Outputs, output_options, render
from kelvara_lab.cli.selection import Selection, read_chosen, selection_options


def _lambda(text: str) -> float | str:
    if text == "auto":
        return text
    try:
        value = float(text)
    except ValueError:
        raise click.BadParameter(
            f"expected 'auto' or a number, got {text!r}", param_hint="--lambda"
        ) from None
    if not value >= 0:
        raise click.BadParameter(f"lambda must be >= 0, got {text}", param_hint="--lambda")
    return value


def _one_of(module: str, names: str) -> Any:
    """A callback refusing a value outside the library's own list (``module.names``), looked
    up when the command runs, not when its help is shown."""

    def check(_ctx: click.Context, param: click.Parameter, value: str) -> str:
        import importlib

        known = getattr(importlib.import_module(module), names)
        if value not in known:
            raise click.BadParameter(
                f"{value!r} is not one of {', '.join(known)}", param_hint=f"--{param.name}"
            )
        return value

    return check


@click.command("drt")
@files_argument
@selection_options
@output_options()
@click.option(
    "--lambda", "lambda_text", default="auto", show_default=True, help="auto or a number."
)
@click.option(
    "--criterion",
    default="noise",
    show_default=True,
    callback=_one_of("kelvara_lab.drt.criteria", "CRITERIA"),
    help="How lambda='auto' is chosen: noise (to the Lin-KK floor), lcurve, gcv, mgcv or re-im.",
)
@click.option(
    "--mode",
    default="complex",
    show_default=True,
    callback=_one_of("kelvara_lab.drt.system", "MODES"),
    help="The parts fitted: complex, real or imag.",
)
@click.option(
    "--inductance/--no-inductance",
    default=None,
    help="Series L on or off [default: on when the high-frequency end is inductive].",
)
@progress_option
def command(
    files: tuple[Path, ...],
    selection: Selection,
    outputs: Outputs,
    lambda_text: str,
    criterion: str,
    mode: str,
    inductance: bool | None,
    progress: bool,
) -> None:
    """Distribution of relaxation times of every spectrum in FILE..., with a table of peaks.

    Exits with status 1 when a file cannot be read or a spectrum fails.
    """
    options: dict[str, Any] = {
        "lambda_": _lambda(lambda_text),
        "criterion": criterion,
        "mode": mode,
        "inductance": inductance,
    }
    chosen, failed = read_chosen(files, selection)
    from kelvara_lab.batch.drt import drt_table

    table, results = drt_table(
        {item.ident: item.frame for item in chosen},
        keep_results=outputs.plots is not None,
        executor="serial",
        progress=progress,
        **options,
    )
    titles = {item.ident: item for item in chosen}
    shown = table.drop(columns=["error"])
    shown["spectrum"] = [titles[i].title if i in titles else i for i in shown["spectrum"]]
    click.echo(
        render(shown, outputs.format, label="spectrum" if outputs.format == "table" else None)
    )
    for _, row in table[table["error"] != ""].iterrows():
        click.echo(f"{row['spectrum']}: error: {row['error']}", err=True)
    outputs.write(table)
    if outputs.plots is not None:
        for ident, result in results.items():
            figure = result.plot()
            figure.suptitle(titles[ident].title, fontsize=10)
            outputs.picture(figure, f"{titles[ident].stem}-drt")
    if failed or (table["error"] != "").any():
        raise SystemExit(1)
