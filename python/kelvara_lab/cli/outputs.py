"""Where a command's results go, the same on every command: ``--out FILE`` (a results table,
Parquet or CSV), ``--plots DIR`` (one PNG per spectrum) and ``--format`` for what is printed,
all checked before any work, so that a bad place fails at once rather than after hours.
"""

from __future__ import annotations

import functools
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import click

from kelvara_lab.cli.options import check_writable_file, make_folder

if TYPE_CHECKING:
    import pandas as pd

FORMATS = ("table", "json", "markdown", "latex")
RESULTS_SUFFIXES = (".parquet", ".csv")
# The widest line a table printed for a terminal may take.
TERMINAL_WIDTH = 100


@dataclass(frozen=True)
class Outputs:
    """A command's output places, checked; None where not asked for."""

    out: Path | None
    plots: Path | None
    format: str

    def write(self, table: pd.DataFrame) -> None:
        """The results table to ``--out``, when given."""
        if self.out is None:
            return
        from kelvara_lab.io.results import write_results

        write_results(table, self.out)
        click.echo(f"results written to {click.format_filename(self.out)}", err=self.quiet)

    def finish(
        self, lines: list[tuple[str, bool]], tables: list[pd.DataFrame], failed: bool
    ) -> None:
        """Print the lines held while a progress bar ran (text, to stderr), then every
        spectrum's table as one, in a machine-read format when asked and to ``--out``; exit 1
        when `failed`."""
        for text, to_stderr in lines:
            click.echo(text, err=to_stderr)
        if tables:
            import pandas as pd

            every = pd.concat(tables, ignore_index=True)
            every = every[["spectrum", *[c for c in every.columns if c != "spectrum"]]]
            if self.format != "table":
                click.echo(render(every, self.format))
            self.write(every)
        if failed:
            raise SystemExit(1)

    @property
    def quiet(self) -> bool:
        """Whether notes go to stderr, leaving stdout to a machine-read format."""
        return self.format != "table"

    def note(self, text: str) -> None:
        """A line for the reader (pictures and files written), kept off a machine-read stdout."""
        click.echo(text, err=self.quiet)

    def picture(self, figure: Any, name: str, *, say: bool = True) -> str:
        """Write `figure` as ``DIR/name.png``; the line that says so, printed unless `say` is
        False (a caller holding its lines until a progress bar closes)."""
        from kelvara_lab.cli.options import save_figure

        assert self.plots is not None
        target = self.plots / f"{name}.png"
        save_figure(figure, target)
        line = f"picture written to {click.format_filename(target)}"
        if say:
            self.note(line)
        return line


def render(table: pd.DataFrame, form: str, *, digits: int = 5, label: str | None = None) -> str:
    """A table as text in one of `FORMATS`. "table" is pandas' plain text at most
    `TERMINAL_WIDTH` columns wide: numeric columns that do not fit go to blocks below, each
    led by the `label` column; a last column of text (a verdict) follows each row, folded
    under itself where it is long."""
    if form == "json":
        return str(table.to_json(orient="records", double_precision=15, default_handler=str))
    if form == "markdown":
        return str(table.to_markdown(index=False, floatfmt=f".{digits}g"))
    if form == "latex":
        return str(table.to_latex(index=False, float_format=lambda v: f"{v:.{digits}g}"))
    from pandas.api.types import is_bool_dtype, is_numeric_dtype

    def is_text(column: Any) -> bool:
        return not (is_numeric_dtype(column) or is_bool_dtype(column))

    shown = table.set_index(label) if label is not None else table
    last = shown.columns[-1] if len(shown.columns) else None
    trailing = last is not None and is_text(shown[last])
    numbers = shown.drop(columns=[last]) if trailing else shown
    texts = [c for c in numbers.columns if is_text(numbers[c])]
    widths = {c: max([len(str(c)), *(len(str(v)) for v in numbers[c])]) for c in texts}
    # A text column reads left-aligned, its header too (pandas would right-align it).
    numbers = numbers.rename(columns={c: str(c).ljust(widths[c]) for c in texts})
    texts = [str(c).ljust(widths[c]) for c in texts]
    widths = {c: len(c) for c in texts}
    body = _blocks(numbers, label is not None, digits, texts, widths)
    if not trailing:
        return "\n".join(body)
    values = [str(v) for v in shown[last]]
    if len(body) == len(values) + 1:  # one block: the text follows each row
        indent = len(body[0]) + 2
        rows = [f"{body[0]}  {last}"] + [f"{b}  {v}" for b, v in zip(body[1:], values, strict=True)]
        return "\n".join(wrap(row, indent=indent) for row in rows)
    names = [str(v) for v in (shown.index if label is not None else shown.iloc[:, 0])]
    return "\n".join([*body, *(wrap(f"{n}  {v}") for n, v in zip(names, values, strict=True))])


def _blocks(
    numbers: pd.DataFrame, index: bool, digits: int, texts: list[str], widths: dict[str, int]
) -> list[str]:
    """The table's lines, its columns in blocks of at most `TERMINAL_WIDTH` characters, one
    below the other (each led by the index when there is one)."""

    def text(columns: list[Any]) -> list[str]:
        return str(
            numbers[columns].to_string(
                index=index,
                index_names=False,
                float_format=lambda v: f"{v:.{digits}g}",
                formatters={
                    c: (lambda v, w=widths[c]: f"{v!s:<{w}}") for c in texts if c in columns
                },
            )
        ).splitlines()

    blocks: list[list[Any]] = [[]]
    for column in numbers.columns:
        if blocks[-1] and len(text([*blocks[-1], column])[0]) > TERMINAL_WIDTH:
            blocks.append([])
        blocks[-1].append(column)
    lines: list[str] = []
    for block in blocks:
        lines += ([""] if lines else []) + text(block)
    return lines


def wrap(text: str, width: int = TERMINAL_WIDTH, indent: int | None = None) -> str:
    """Each line of `text` folded to `width` columns, continuations indented by `indent`, or
    under the line's value (after its first run of two or more spaces), so that reports read
    on a terminal."""
    import re
    import textwrap

    out: list[str] = []
    for line in text.splitlines():
        if len(line) <= width:
            out.append(line)
            continue
        gap = re.search(r"\S( {2,}|= )", line)
        hang = indent if indent is not None and indent < width - 30 else None
        if hang is None:
            lead = len(line) - len(line.lstrip())
            hang = gap.end() if gap and gap.end() < width // 2 else lead + 4
        out.extend(
            textwrap.wrap(
                line,
                width=width,
                subsequent_indent=" " * hang,
                break_long_words=False,
                break_on_hyphens=False,
            )
            or [line]
        )
    return "\n".join(out)


def output_options(*, out: bool = True, plots: bool = True) -> Callable[..., Any]:
    """Add ``--out``, ``--plots`` and ``--format``; the command receives one ``outputs``."""

    def decorate(command: Callable[..., Any]) -> Callable[..., Any]:
        @functools.wraps(command)
        def wrapper(*args: Any, **kwargs: Any) -> Any:
            target: Path | None = kwargs.pop("out", None)
            folder: Path | None = kwargs.pop("plots", None)
            form: str = kwargs.pop("format")
            if target is not None:
                if target.suffix.lower() not in RESULTS_SUFFIXES:
                    raise click.BadParameter(
                        f"expected a .parquet or .csv file, got {target.name!r}",
                        param_hint="--out",
                    )
                check_writable_file(target, "--out")
            if folder is not None:
                make_folder(folder, "--plots")
            return command(*args, outputs=Outputs(target, folder, form), **kwargs)

        wrapped: Callable[..., Any] = click.option(
            "--format",
            type=click.Choice(FORMATS),
            default="table",
            show_default=True,
            help="What the printed table is: plain text, JSON records, Markdown or LaTeX.",
        )(wrapper)
        if plots:
            wrapped = click.option(
                "--plots",
                type=click.Path(path_type=Path, file_okay=False),
                metavar="DIR",
                help="Write a PNG picture per spectrum into DIR (made if missing).",
            )(wrapped)
        if out:
            wrapped = click.option(
                "--out",
                type=click.Path(path_type=Path),
                metavar="FILE",
                help="Write the results table to FILE: .parquet or .csv.",
            )(wrapped)
        return wrapped

    return decorate
