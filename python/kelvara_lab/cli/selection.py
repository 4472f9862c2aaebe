"""Which points of which spectra a command works on: the same options on every command that
takes spectra (a frequency window, the inductive points dropped, rows excluded, spectra of a
multi-spectrum file chosen), checked before any file is read.

Rows are numbered within each spectrum as the file holds them (0 first), so that the row
numbers ``inspect`` and the data checks print are the ones ``--exclude`` takes.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

import click

if TYPE_CHECKING:
    import pandas as pd


def _row_numbers(text: str, option: str) -> tuple[int, ...]:
    """'3', '0,1,5' or '0-3' (inclusive) as row numbers."""
    rows: list[int] = []
    for part in text.split(","):
        part = part.strip()
        first, dash, last = part.partition("-")
        try:
            lo = int(first)
            hi = int(last) if dash else lo
        except ValueError:
            raise click.BadParameter(
                f"expected row numbers like 0,1,5 or 0-3, got {text!r}", param_hint=option
            ) from None
        if lo < 0 or hi < lo:
            raise click.BadParameter(f"not a range of rows: {part!r}", param_hint=option)
        rows.extend(range(lo, hi + 1))
    return tuple(sorted(set(rows)))


@dataclass(frozen=True)
class Selection:
    """The points and spectra a command keeps; empty fields keep everything."""

    fmin: float | None = None
    fmax: float | None = None
    drop_inductive: bool = False
    exclude: tuple[int, ...] = ()
    spectra: tuple[int, ...] = ()

    @property
    def changes_points(self) -> bool:
        """Whether any point of a chosen spectrum may be left out."""
        return bool(
            self.fmin is not None or self.fmax is not None or self.drop_inductive or self.exclude
        )

    def pick(self, path: Path, frame: pd.DataFrame) -> Iterator[tuple[int, pd.DataFrame]]:
        """(index, spectrum) for each chosen spectrum of a file's frame, its points selected.
        A chosen spectrum the file does not hold, or an excluded row past a spectrum's end, is
        a ``click.BadParameter``."""
        from kelvara_lab.io.columns import SPECTRUM
        from kelvara_lab.io.read import spectra
        from kelvara_lab.spectrum.checks import crop, drop_inductive, drop_rows

        parts = dict(spectra(frame))
        missing = [k for k in self.spectra if k not in parts]
        if missing:
            raise click.BadParameter(
                f"{path} holds spectra {_span(sorted(parts))}, not {missing[0]}",
                param_hint="--spectrum",
            )
        for index in self.spectra or sorted(parts):
            part = parts[index].drop(columns=[SPECTRUM], errors="ignore")
            if self.exclude:
                if self.exclude[-1] >= len(part):
                    raise click.BadParameter(
                        f"{path} spectrum {index} has rows 0 to {len(part) - 1}, "
                        f"not {self.exclude[-1]}",
                        param_hint="--exclude",
                    )
                part = drop_rows(part, self.exclude)
            if self.fmin is not None or self.fmax is not None:
                part = crop(part, self.fmin, self.fmax)
            if self.drop_inductive:
                part = drop_inductive(part)
            yield index, part


def _span(values: list[int]) -> str:
    return f"{values[0]} to {values[-1]}" if len(values) > 1 else str(values[0])


def _positive(text: float | None, option: str) -> float | None:
    if text is not None and not text > 0:
        raise click.BadParameter(f"a frequency must be above 0 Hz, got {text:g}", param_hint=option)
    return text


def selection_options(command: Callable[..., Any]) -> Callable[..., Any]:
    """Add the selection options to a command; it receives them as one ``selection``."""

    @functools.wraps(command)
    def wrapper(
        *args: Any,
        fmin: float | None,
        fmax: float | None,
        drop_inductive: bool,
        exclude: tuple[str, ...],
        spectrum: tuple[int, ...],
        **kwargs: Any,
    ) -> Any:
        _positive(fmin, "--fmin")
        _positive(fmax, "--fmax")
        if fmin is not None and fmax is not None and fmin > fmax:
            raise click.BadParameter(
                f"--fmin {fmin:g} Hz is above --fmax {fmax:g} Hz", param_hint="--fmin/--fmax"
            )
        rows = tuple(sorted({r for text in exclude for r in _row_numbers(text, "--exclude")}))
        chosen = tuple(dict.fromkeys(spectrum))
        selection = Selection(fmin, fmax, drop_inductive, rows, chosen)
        return command(*args, selection=selection, **kwargs)

    decorators = [
        click.option("--fmin", type=float, metavar="HZ", help="Keep points at or above HZ."),
        click.option("--fmax", type=float, metavar="HZ", help="Keep points at or below HZ."),
        click.option(
            "--drop-inductive",
            is_flag=True,
            help="Leave out the inductive high-frequency points (positive imaginary part).",
        ),
        click.option(
            "--exclude",
            multiple=True,
            metavar="ROWS",
            help="Leave out rows of each spectrum, numbered from 0 as inspect prints them: "
            "3, 0,1,5 or 0-3.",
        ),
        click.option(
            "--spectrum",
            multiple=True,
            type=click.IntRange(min=0),
            metavar="K",
            help="Work on spectrum K of a file of several (repeat for more). Default: all.",
        ),
    ]
    for decorate in reversed(decorators):
        wrapper = decorate(wrapper)
    return wrapper


@dataclass(frozen=True)
class Chosen:
    """One chosen spectrum of one file, its points selected."""

    path: Path
    index: int
    several: bool  # whether the file holds more than one spectrum
    frame: pd.DataFrame

    @property
    def ident(self) -> str:
        """The row id of batch tables: the path, with "#k" for a file of several (bytes of a
        name that are not UTF-8 shown as U+FFFD: a table's text must be valid)."""
        name = click.format_filename(self.path)
        return f"{name}#{self.index}" if self.several else name

    @property
    def title(self) -> str:
        """How a report or a picture names it: the file name, with the spectrum when several."""
        name = click.format_filename(self.path.name)
        return f"{name} spectrum {self.index}" if self.several else name

    @property
    def heading(self) -> str:
        """How a printed table names it: the path as given, with the spectrum when several."""
        name = click.format_filename(self.path)
        return f"{name} spectrum {self.index}" if self.several else name

    @property
    def stem(self) -> str:
        """The start of a picture's file name: ``<file stem>-<index>``."""
        return f"{self.path.stem}-{self.index}"


def read_chosen(
    files: tuple[Path, ...], selection: Selection, say: Callable[[str], None] | None = None
) -> tuple[list[Chosen], bool]:
    """Every chosen spectrum of every file, read before any work (so that a bad ``--spectrum``
    or ``--exclude`` fails at once), and whether a file could not be read (said on stderr,
    or to `say`)."""
    from tqdm.auto import tqdm

    from kelvara_lab.cli.options import read_or_report

    chosen: list[Chosen] = []
    failed = False
    for path in tqdm(files, desc="reading", disable=None if len(files) > 20 else True):
        frame = read_or_report(path, say)
        if frame is None:
            failed = True
            continue
        several = int(frame.attrs.get("spectra", 1)) > 1
        for index, part in selection.pick(path, frame):
            chosen.append(Chosen(path, index, several, part))
    return chosen, failed
