"""``kelvara-lab compare``: candidate circuits ranked by BIC for every spectrum."""

from __future__ import annotations

from pathlib import Path

import click

from kelvara_lab.cli.options import check_circuit, files_argument, progress_option
from kelvara_lab.cli.outputs import Outputs, output_options, render, wrap
from kelvara_lab.cli.selection import Selection, read_chosen, selection_options

# What the printed table shows of each candidate; --out keeps every number.
SHOWN = ["rank", "circuit", "parameters", "reduced_chi_square", "bic", "trusted", "status"]


@click.command("compare")
@files_argument
@selection_options
@output_options()
@click.option(
    "--circuit",
    "--circuits",
    "circuits",
    multiple=True,
    metavar="CIRCUIT",
    help="A candidate (notation or registry name); repeat it, or list several separated by "
    "commas outside parentheses. Default: the eleven registry circuits.",
)
@progress_option
def command(
    files: tuple[Path, ...],
    selection: Selection,
    outputs: Outputs,
    circuits: tuple[str, ...],
    progress: bool,
) -> None:
    """Rank candidate circuits by BIC for every spectrum in FILE...

    Each candidate's row says its verdict's status and whether its fit is trusted (status
    pass), and the verdicts, worst finding first, follow the table; --plots draws the best
    three against the data. Exits with status 1 when a file cannot be read or no candidate
    fits.
    """
    from kelvara_lab.circuit.notation import split_list

    names = [n for text in circuits for n in split_list(text)] if circuits else None
    if names is not None and not names:
        raise click.BadParameter("no circuits given", param_hint="--circuit")
    for name in names or ():
        check_circuit(name, "--circuit")

    from tqdm.auto import tqdm

    from kelvara_lab.fitting.compare import compare
    from kelvara_lab.views import plot

    # Every table waits until the bar is closed, so that the two never share a line.
    lines: list[tuple[str, bool]] = []  # (text, to stderr)
    chosen, failed = read_chosen(files, selection, lambda text: lines.append((text, True)))
    tables = []
    with tqdm(chosen, disable=not progress, desc="comparing") as bar:
        for item in bar:
            try:
                table = compare(item.frame, names)
            except ValueError as error:
                lines.append((f"{click.format_filename(item.path)}: error: {error}", True))
                failed = True
                continue
            table = table.reset_index()  # "circuit": each candidate as given
            if outputs.plots is not None and table["report"].notna().any():
                figure = plot.candidates(table.set_index("rank"), item.title)
                note = outputs.picture(figure, f"{item.stem}-compare", say=False)
                lines.append((note, outputs.quiet))
            tables.append(table.drop(columns=["report"]).assign(spectrum=item.ident))
            if outputs.format == "table":
                lines.append((item.heading, False))
                lines.append((render(table[SHOWN], "table"), False))
                width = max(len(str(name)) for name in table["circuit"])
                for _, row in table.iterrows():
                    text = row["verdict"] if row["error"] == "" else f"error: {row['error']}"
                    line = f" {row['rank']:>4} {row['circuit']:<{width}}  {text}"
                    lines.append((wrap(line, indent=width + 8), False))
            failed |= not (table["error"] == "").any()
    outputs.finish(lines, tables, failed)
