"""What the kelvara-lab commands share: input files and circuits checked before any work,
output places checked before any work, and short labels for files.

Only click is imported here at load time: ``kelvara-lab --help`` must not wait for pandas or
for the readers' libraries.
"""

from __future__ import annotations

import difflib
import os
import re
import tempfile
from collections.abc import Callable, Iterable, Iterator, Sequence
from functools import partial
from pathlib import Path
from typing import TYPE_CHECKING

import click

if TYPE_CHECKING:
    import pandas as pd

# Every command reads FILE...; each must exist and be a file before the first one is read.
files_argument = click.argument(
    "files",
    nargs=-1,
    required=True,
    type=click.Path(exists=True, dir_okay=False, path_type=Path),
)

# Text that reads as a name (one word) rather than as notation with dashes and parentheses.
_WORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def read_or_report(path: Path, say: Callable[[str], None] | None = None) -> pd.DataFrame | None:
    """The file as a frame, or None after saying why it could not be read (on stderr unless
    `say` takes the line)."""
    from kelvara_lab.io import ReadError, read

    try:
        return read(path)
    except (OSError, ReadError) as error:
        (say or partial(click.echo, err=True))(f"{path}: error: {error}")
        return None


def check_circuit(text: str, option: str) -> None:
    """Refuse a circuit that is neither a registry name nor valid notation, naming the nearest
    registry name when the text reads as a mistyped one."""
    import kelvara

    try:
        kelvara.Circuit(text)
    except ValueError as error:
        message = str(error).splitlines()[0]
        registry = kelvara.Circuit.ml_circuits()  # the core's registry names
        close = difflib.get_close_matches(text.strip().lower(), registry, n=1)
        if _WORD.fullmatch(text.strip()) and close:
            message = f"unknown circuit {text!r} (did you mean {close[0]!r}?)"
        raise click.BadParameter(message, param_hint=option) from None


def split_circuits(values: Iterable[str]) -> list[str]:
    """Candidates from repeated options, each of which may list several at its top-level
    commas: "rq,R0-(R1,CPE1)" is two candidates, not three."""
    out: list[str] = []
    for text in values:
        depth, start = 0, 0
        for i, char in enumerate(text):
            depth += {"(": 1, ")": -1}.get(char, 0)
            if char == "," and depth == 0:
                out.append(text[start:i])
                start = i + 1
        out.append(text[start:])
    return [name.strip() for name in out if name.strip()]


def check_writable_file(path: Path, option: str) -> None:
    """Refuse an output file that could not be written, before hours of work are spent."""
    folder = path.parent
    if path.is_dir():
        raise click.BadParameter(f"{path} is a folder, not a file", param_hint=option)
    if not folder.is_dir():
        raise click.BadParameter(f"no folder {folder} to write {path.name} into", param_hint=option)
    _probe_writable(folder, option)
    if path.exists() and not os.access(path, os.W_OK):
        raise click.BadParameter(f"{path} is not writable", param_hint=option)


def make_folder(folder: Path, option: str) -> None:
    """Create an output folder up front (an unwritable place fails before any work)."""
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise click.BadParameter(
            f"cannot write into {folder}: {error.strerror}", param_hint=option
        ) from None
    _probe_writable(folder, option)


def _probe_writable(folder: Path, option: str) -> None:
    """A temporary file made and gone: the one test that the folder takes files."""
    try:
        with tempfile.TemporaryFile(dir=folder):
            pass
    except OSError as error:
        raise click.BadParameter(
            f"cannot write into {folder}: {error.strerror}", param_hint=option
        ) from None


def labels(paths: Sequence[Path | str]) -> dict[str, str]:
    """A short label per path for tables: the file's name, or the path as given where two
    files share a name."""
    owners: dict[str, set[str]] = {}
    for p in paths:
        owners.setdefault(Path(p).name, set()).add(str(p))
    return {str(p): Path(p).name if len(owners[Path(p).name]) == 1 else str(p) for p in paths}


def file_spectra(files: Iterable[Path]) -> Iterator[tuple[Path, int, int, pd.DataFrame]]:
    """(path, index, count, frame) for each spectrum of each file that reads; a file that
    does not was reported with the table already."""
    from kelvara_lab.io import read, spectra

    for path in files:
        try:
            parts = list(spectra(read(path)))
        except Exception:  # noqa: BLE001 - already reported in the table
            continue
        for index, part in parts:
            yield path, index, len(parts), part.drop(columns=["Spectrum"], errors="ignore")
