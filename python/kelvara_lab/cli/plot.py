"""``kelvara-lab plot``: the data alone, as a picture per spectrum (Nyquist and Bode, or the
admittance and complex-capacitance views)."""

from __future__ import annotations

from pathlib import Path

import click

from kelvara_lab.cli.options import files_argument
from kelvara_lab.cli.outputs import Outputs, output_options
from kelvara_lab.cli.selection import Selection, read_chosen, selection_options

VIEWS = ("nyquist-bode", "admittance", "capacitance")


@click.command("plot")
@files_argument
@selection_options
@output_options(out=False)
@click.option(
    "--view",
    type=click.Choice(VIEWS),
    default="nyquist-bode",
    show_default=True,
    help="nyquist-bode: impedance; admittance: Y = 1/Z (Nyquist and Bode); capacitance: "
    "the complex capacitance C = 1/(j w Z), real and imaginary parts against frequency.",
)
@click.option(
    "--together",
    is_flag=True,
    help="Draw every chosen spectrum of each file in one picture instead of one each.",
)
def command(
    files: tuple[Path, ...], selection: Selection, outputs: Outputs, view: str, together: bool
) -> None:
    """Draw every spectrum of each FILE into --plots DIR (default: the current folder).

    Pictures are named <file>-<spectrum>-<view>.png (<file>-all-<view>.png with
    --together). Exits with status 1 when a file cannot be read.
    """
    import pandas as pd

    from kelvara_lab.cli.options import make_folder
    from kelvara_lab.io.columns import SPECTRUM
    from kelvara_lab.views import plot

    places = outputs
    if outputs.plots is None:
        make_folder(Path("."), "--plots")
        places = Outputs(None, Path("."), outputs.format)
    chosen, failed = read_chosen(files, selection)
    drawn = {
        "nyquist-bode": plot.spectrum,
        "admittance": plot.admittance,
        "capacitance": plot.capacitance,
    }[view]
    if together:
        for path in dict.fromkeys(item.path for item in chosen):
            parts = [i for i in chosen if i.path == path]
            frame = pd.concat(
                [i.frame.assign(**{SPECTRUM: i.index}) for i in parts], ignore_index=True
            )
            figure = drawn(frame if len(parts) > 1 else parts[0].frame)
            figure.suptitle(click.format_filename(path.name), fontsize=10)
            places.picture(figure, f"{path.stem}-all-{view}")
    else:
        for item in chosen:
            figure = drawn(item.frame)
            figure.suptitle(item.title, fontsize=10)
            places.picture(figure, f"{item.stem}-{view}")
    if failed:
        raise SystemExit(1)
