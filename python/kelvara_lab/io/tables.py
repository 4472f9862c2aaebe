"""Plain text tables of a spectrum read with pandas alone: a header line naming the columns
(frequency, then real and imaginary parts or modulus and phase, in the spellings instruments
and scripts use), any of tab, semicolon, comma or spaces between fields, a decimal comma,
and several sweeps one after another. A table this module does not recognise is left to
the instrument libraries, so that a plain CSV never waits for them (nor runs GPL code).
"""

from __future__ import annotations

import re
from pathlib import Path

import numpy as np
import numpy.typing as npt
import pandas as pd

Spectrum = tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]

# Header spellings, lower case with spaces removed; a leading "-" negates the column.
_FREQUENCY = re.compile(r"^(f|freq|frequency)(\(hz\)|/hz|\[hz\]|_hz|_hertz)?$")
_REAL = re.compile(r"^(z'|zre|zreal|re\(z\)|real|z_re|zr)(\(ohms?\)|/ohms?|\[ohms?\])?$")
_IMAG = re.compile(
    r"^(z''|z\"|zim|zimag|im\(z\)|imag|imaginary|z_im|zi)(\(ohms?\)|/ohms?|\[ohms?\])?$"
)
_MODULUS = re.compile(r"^(\|z\||zmod|mod\(z\)|modulus|abs\(z\))(\(ohms?\)|/ohms?|\[ohms?\])?$")
_PHASE = re.compile(r"^(phase|phi|zphz|phase\(z\))(\(deg\)|/deg|\[deg\]|\(°\)|/°)?$")
_DELIMITERS = ("\t", ";", ",")


def _role(name: str) -> tuple[str, float] | None:
    """("f" | "re" | "im" | "mod" | "phase", sign) of a column header, or None."""
    text = name.strip().lower().replace(" ", "")
    sign = 1.0
    if text.startswith("-"):
        sign, text = -1.0, text[1:]
    for role, pattern in (
        ("f", _FREQUENCY),
        ("re", _REAL),
        ("im", _IMAG),
        ("mod", _MODULUS),
        ("phase", _PHASE),
    ):
        if pattern.match(text):
            return role, sign
    return None


def _layout(header: str) -> tuple[str, list[tuple[str, float] | None]] | None:
    """(delimiter, role of each field) of a header line that names a spectrum's columns."""
    for delimiter in (*_DELIMITERS, None):
        fields = header.split(delimiter) if delimiter else header.split()
        if len(fields) < 3:
            continue
        roles = [_role(f) for f in fields]
        found = {r[0] for r in roles if r is not None}
        if "f" in found and ({"re", "im"} <= found or {"mod", "phase"} <= found):
            return delimiter or r"\s+", roles
    return None


def _sweeps(f: npt.NDArray[np.float64]) -> list[slice]:
    """Consecutive sweeps: a new one starts where the frequency steps against the first
    sweep's direction (a file of repeated measurements, each from the same end)."""
    if f.size < 3:
        return [slice(0, f.size)]
    falling = f[1] < f[0]
    steps = np.diff(f)
    breaks = np.flatnonzero(steps > 0 if falling else steps < 0) + 1
    edges = [0, *breaks.tolist(), f.size]
    return [slice(a, b) for a, b in zip(edges[:-1], edges[1:], strict=True)]


def read_headed_table(path: Path, first_line: str) -> list[Spectrum] | None:
    """The spectra of a text table whose first line names its columns, or None when that
    line does not (the file is then another reader's)."""
    layout = _layout(first_line.strip("\r\n\ufeff"))
    if layout is None:
        return None
    delimiter, roles = layout
    decimal = "."
    if delimiter in ("\t", ";", r"\s+"):
        with path.open(encoding="utf-8-sig", errors="replace") as stream:
            stream.readline()
            sample = stream.readline()
        if re.search(r"\d,\d", sample):
            decimal = ","
    try:
        table = pd.read_csv(
            path,
            sep=delimiter,
            decimal=decimal,
            header=None,
            skiprows=1,
            engine="c" if delimiter != r"\s+" else "python",
            encoding="utf-8-sig",
            dtype=float,
            skip_blank_lines=True,
        )
    except (ValueError, pd.errors.ParserError, UnicodeDecodeError):
        return None  # not numbers throughout: leave it to the instrument readers
    if table.shape[1] != len(roles):
        return None
    columns: dict[str, npt.NDArray[np.float64]] = {}
    for index, role in enumerate(roles):
        if role is not None and role[0] not in columns:
            columns[role[0]] = role[1] * table.iloc[:, index].to_numpy(dtype=float)
    f = columns["f"]
    if f.size == 0 or not np.all(np.isfinite(f) & (f > 0)):
        return None  # rows of other measurements between the sweeps: an instrument's export
    if "re" in columns and "im" in columns:
        z = columns["re"] + 1j * columns["im"]
    else:
        # Phase in degrees, as every export writes it; "-phase" columns were negated above.
        z = columns["mod"] * np.exp(1j * np.radians(columns["phase"]))
    return [(f[part], z[part]) for part in _sweeps(f)]
