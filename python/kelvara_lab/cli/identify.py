"""The ``identify`` command of ``kelvara-lab``: which circuit fits each spectrum best."""

from __future__ import annotations

from pathlib import Path

import click

from kelvara_lab.cli.options import files_argument, progress_option
from kelvara_lab.cli.outputs import Outputs, output_options, wrap
from kelvara_lab.cli.selection import Selection, read_chosen, selection_options
from kelvara_lab.identification.candidates import ELEMENTS


@click.command("identify")
@files_argument
@selection_options
@output_options()
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
@progress_option
def command(
    files: tuple[Path, ...],
    selection: Selection,
    outputs: Outputs,
    elements: str,
    max_elements: int,
    top: int,
    seed: int,
    workers: int | None,
    progress: bool,
) -> None:
    """Rank candidate circuits for every spectrum in FILE... and print the best.

    The table shows each circuit's notation and registry name, its score (BIC, undetermined
    parameters counted against a circuit), relative likelihood against the first row
    (exp(-dscore/2)), the verdict's status (* where the row is trusted) and its first finding,
    or the plausibility rule the circuit breaks. --plots draws the best three against the data.
    Exits with status 1 when a file cannot be read or a spectrum fails its data checks.
    """
    import json

    from tqdm.auto import tqdm

    from kelvara_lab.circuit.elements import elements as defined
    from kelvara_lab.identification.candidates import KIND_ORDER, SPELLINGS
    from kelvara_lab.identification.rank import identify
    from kelvara_lab.identification.table import summary
    from kelvara_lab.spectrum.record import DataError
    from kelvara_lab.views import plot

    kinds = tuple(k.strip() for k in elements.split(",") if k.strip())
    known = [*KIND_ORDER, *SPELLINGS, *(e.code for e in defined())]
    unknown = sorted(set(kinds) - set(known))
    if unknown or not kinds:
        raise click.BadParameter(
            f"element kinds are {', '.join(known)}; got {', '.join(unknown) or 'none'}",
            param_hint="--elements",
        )
    chosen, failed = read_chosen(files, selection)
    tables = []
    # Lines wait until the bar is closed, so that the two never share a line.
    lines: list[tuple[str, bool]] = []  # (text, to stderr)
    for item in tqdm(chosen, desc="identifying", disable=not progress):
        try:
            table = identify(
                item.frame, elements=kinds, max_elements=max_elements, seed=seed, workers=workers
            )
        except DataError as error:
            lines.append((f"{item.heading}: {error}", True))
            failed = True
            continue
        except ValueError as error:
            raise click.UsageError(str(error)) from None
        a = table.attrs
        kept = table.drop(columns=["report"]).reset_index(names="rank")
        kept["values"] = [json.dumps(v) for v in kept["values"]]
        tables.append(kept.assign(spectrum=item.ident))
        if outputs.format == "table":
            heading = (
                f"{item.heading}: {a['generated']} candidates, {a['distinct']} distinct, "
                f"{a['survivors']} after pruning, {a['screened']} screened, {a['searched']} "
                f"searched, {a['seconds']:.1f} s"
            )
            if not a["distinguishable"]:
                heading += "; too few points or too noisy to tell circuits apart: none trusted"
            lines += [(wrap(heading), False), *((line, False) for line in summary(table, top))]
        if outputs.plots is not None and table["report"].notna().any():
            figure = plot.candidates(table, item.title)
            lines.append(
                (outputs.picture(figure, f"{item.stem}-identify", say=False), outputs.quiet)
            )
    outputs.finish(lines, tables, failed)
