"""``kelvara-lab compare``: candidate circuits ranked by BIC for every spectrum."""

from __future__ import annotations

from pathlib import Path

import click

from kelvara_lab.cli.options import check_circuit, files_argument, read_or_report

FINDING_WIDTH = 72


@click.command("compare")
@files_argument
@click.option(
    "--circuit",
    "--circuits",
    "circuits",
    multiple=True,
    metavar="CIRCUIT",
    help="A candidate (notation or registry name); repeat it, or list several separated by "
    "commas outside parentheses. Default: the eleven registry circuits.",
)
@click.option("--progress/--no-progress", default=True, show_default=True)
def command(files: tuple[Path, ...], circuits: tuple[str, ...], progress: bool) -> None:
    """Rank candidate circuits by BIC for every spectrum in FILE...

    Exits with status 1 when a file cannot be read or no candidate fits.
    """
    from kelvara_lab.circuit.notation import split_list

    names = [n for text in circuits for n in split_list(text)] if circuits else None
    if names is not None and not names:
        raise click.BadParameter("no circuits given", param_hint="--circuit")
    for name in names or ():
        check_circuit(name, "--circuit")

    from tqdm.auto import tqdm

    from kelvara_lab.fitting.compare import compare
    from kelvara_lab.io.read import spectra

    failed = False
    # Every table waits until the bar is closed, so that the two never share a line.
    lines: list[tuple[str, bool]] = []  # (text, to stderr)
    with tqdm(files, disable=not progress or len(files) < 2, desc="comparing") as bar:
        for path in bar:
            frame = read_or_report(path, lambda text: lines.append((text, True)))
            if frame is None:
                failed = True
                continue
            for index, part in spectra(frame):
                try:
                    table = compare(part.drop(columns=["Spectrum"], errors="ignore"), names)
                except ValueError as error:
                    lines.append((f"{path}: error: {error}", True))
                    failed = True
                    continue
                several = frame.attrs.get("spectra", 1) > 1
                lines.append((f"{path}" + (f" #{index}" if several else ""), False))
                shown = table[
                    ["rank", "parameters", "reduced_chi_square", "aic", "bic", "status", "finding"]
                ].copy()
                # The verdict's first finding, cut to a terminal's width; a fit that raised
                # shows its error there.
                errors = table["error"].fillna("")
                shown["finding"] = [
                    (str(e) if e else str(f))[:FINDING_WIDTH]
                    for f, e in zip(shown["finding"].fillna(""), errors, strict=True)
                ]
                lines.append((shown.to_string(float_format=lambda v: f"{v:.5g}"), False))
                failed |= not (table["error"] == "").any()
    for text, to_stderr in lines:
        click.echo(text, err=to_stderr)
    if failed:
        raise SystemExit(1)
