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
from collections.abc import Callable, Sequence
from functools import partial
from pathlib import Path
from typing import TYPE_CHECKING

import click

if TYPE_CHECKING:
    import pandas as pd
    from matplotlib.figure import Figure

# Every command reads FILE...; each must exist and be a file before the first one is read.
files_argument = click.argument(
    "files",
    nargs=-1,
    required=True,
    type=click.Path(exists=True, dir_okay=False, path_type=Path),
)

# Every long command shows a bar on a terminal; pipelines turn it off.
progress_option = click.option("--progress/--no-progress", default=True, show_default=True)

# Text that reads as a name (one word) rather than as notation with dashes and parentheses.
_WORD = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def read_or_report(path: Path, say: Callable[[str], None] | None = None) -> pd.DataFrame | None:
    """The file as a frame, or None after saying why it could not be read (on stderr unless
    `say` takes the line)."""
    from kelvara_lab.io.read import ReadError, read

    try:
        return read(path)
    except (OSError, ReadError) as error:
        (say or partial(click.echo, err=True))(f"{click.format_filename(path)}: error: {error}")
        return None


def check_circuit(text: str, option: str) -> None:
    """Refuse a circuit that is neither a registry name nor valid notation, naming the nearest
    registry name when the text reads as a mistyped one."""
    import kelvara
    from kelvara_lab.circuit.model import model_of

    try:
        model_of(text)
    except ValueError as error:
        message = str(error)  # the caret under the fault and the hint, as Python shows them
        registry = kelvara.Circuit.ml_circuits()  # the core's registry names
        close = difflib.get_close_matches(text.strip().lower(), registry, n=1)
        if _WORD.fullmatch(text.strip()) and close:
            message = f"unknown circuit {text!r} (did you mean {close[0]!r}?)"
        raise click.BadParameter(message, param_hint=option) from None


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


def file_and_index(ident: str) -> tuple[str, str]:
    """The file and spectrum index of a batch row's id: "path#k" for the k-th spectrum of a
    file of several, the path alone for a file of one (index "0")."""
    path, sep, index = ident.rpartition("#")
    return (path, index) if sep and index.isdigit() else (ident, "0")


def save_figure(figure: Figure, target: Path) -> None:
    """Write a picture as PNG and let it go (no screen: the command line draws off-screen)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure.savefig(target, dpi=110)
    plt.close(figure)
