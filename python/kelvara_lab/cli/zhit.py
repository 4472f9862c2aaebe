"""``kelvara-lab zhit``: the modulus of every spectrum reconstructed from its phase (Z-HIT),
one row each with its verdict."""

from __future__ import annotations

from pathlib import Path
from typing import Any

import click

from kelvara_lab.cli.options import files_argument, progress_option
from kelvara_lab.cli.outputs import Outputs, output_options, render
from kelvara_lab.cli.selection import Selection, read_chosen, selection_options


def _window(_ctx: click.Context, _param: click.Parameter, value: tuple[float, float] | None) -> Any:
    if value is not None and not (0 < value[0] < value[1]):
        raise click.BadParameter(
            f"expected LOW HIGH in Hz with 0 < LOW < HIGH, got {value[0]:g} {value[1]:g}",
            param_hint="--window",
        )
    return value


@click.command("zhit")
@files_argument
@selection_options
@output_options()
@click.option(
    "--window",
    type=(float, float),
    metavar="LOW HIGH",
    callback=_window,
    help="Frequencies (Hz) over which the reconstruction's offset is fitted  [default: "
    "zhit's, 1 Hz to 1 kHz]",
)
@click.option(
    "--smoothing",
    type=click.Choice(["none", "savgol"]),
    default="none",
    show_default=True,
    help="Smooth the phase first (Savitzky-Golay).",
)
@progress_option
def command(
    files: tuple[Path, ...],
    selection: Selection,
    outputs: Outputs,
    window: tuple[float, float] | None,
    smoothing: str,
    progress: bool,
) -> None:
    """Z-HIT of every spectrum in FILE...: |Z| rebuilt from the phase, as a table.

    "trend %" is the largest systematic deviation of |Z| from its reconstruction (the
    deviation less the method's own error, averaged over a decade), at "at Hz", in percent
    of |Z|. It passes within "limit %": four times "noise %", Lin-KK's noise estimate of the
    same spectrum, and at least Lin-KK's own 1 % limit. Exits with status 1 when a file
    cannot be read or a spectrum fails.
    """
    import math

    import pandas as pd
    from tqdm.auto import tqdm

    from kelvara_lab.validity.zhit import zhit

    options: dict[str, Any] = {"smoothing": smoothing}
    if window is not None:
        low, high = (math.log10(v) for v in window)
        options.update(center=(low + high) / 2, width=high - low)
    chosen, failed = read_chosen(files, selection)
    rows = []
    notes: list[str] = []  # said after the bar is closed
    for item in tqdm(chosen, desc="Z-HIT", disable=not progress):
        row: dict[str, Any] = {"file": click.format_filename(item.path.name)}
        row.update(spectrum=item.index, points=len(item.frame))
        try:
            result = zhit(item.frame, **options)
        except ValueError as error:
            rows.append({**row, "result": f"error: {error}"})
            failed = True
            continue
        rows.append(
            {
                **row,
                "noise %": result.noise,
                "trend %": result.systematic,
                "limit %": result.limit,
                "at Hz": float(result.frequencies[result.worst_point]),
                "result": "pass" if result.passed else "FAIL",
            }
        )
        failed |= not result.passed
        if outputs.plots is not None:
            figure = result.plot()
            figure.suptitle(item.title, fontsize=10)
            notes.append(outputs.picture(figure, f"{item.stem}-zhit", say=False))
    columns = ["file", "spectrum", "points", "noise %", "trend %", "limit %", "at Hz", "result"]
    table = pd.DataFrame(rows, columns=columns)
    click.echo(render(table, outputs.format, digits=3))
    for line in notes:
        outputs.note(line)
    outputs.write(table)
    if failed:
        raise SystemExit(1)
