"""Does a text export end where its writer stopped, or was it cut short?

The instrument readers parse whatever rows a file holds, so a file cut inside its last row
reads as good data with a wrong last value (-95.39 becomes -9). Two signs give a cut away,
read from the file's own rows rather than any one format's layout:

- the file ends without a line break inside a row that has fewer fields than the rows above
  it, or a number with fewer decimals, fewer exponent digits or no digits where its column's
  numbers above all have more;
- a lone integer just above the data (i2b, Autolab, Princeton P00 announce their row count
  so), or above its header line, promises more rows than follow.

A file whose last lines are not rows of numbers is left alone: nothing is claimed about it.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path

# Rows above the last one that fix each column's written format.
_REFERENCE_ROWS = 50
_DELIMITERS = ("\t", ";", ",", None)  # None: runs of white space
_NUMBER = re.compile(r"[+-]?(?=[.,]?\d)(\d*)(?:[.,](\d*))?(?:[eE][+-]?(\d+))?")
_ROW_START = tuple("+-.0123456789")
_BINARY_SUFFIXES = {".mpr", ".xlsx", ".ods", ".pssession", ".idf"}


@dataclass(frozen=True)
class Truncation:
    """Where a file was cut: its last line (1-based), that line's text and why it looks cut.

    ``partial`` is True when the file ends inside a row, False when whole rows are missing;
    ``certain`` is False where a sweep stopped early would look the same.
    """

    line: int
    text: str
    reason: str
    partial: bool
    certain: bool = True


def _format(token: str) -> tuple[int, int] | None:
    """(decimals, exponent digits or -1) of a complete number; None for anything else."""
    match = _NUMBER.fullmatch(token)
    if match is None:
        return None
    _, fraction, exponent = match.groups()
    return len(fraction or ""), len(exponent) if exponent is not None else -1


def _fields(line: str, delimiter: str | None) -> list[str]:
    return [token.strip() for token in line.strip().split(delimiter)]


def _row(line: str, delimiter: str | None, width: int) -> bool:
    fields = _fields(line, delimiter)
    return len(fields) == width and all(_format(token) is not None for token in fields)


def _layout(line: str) -> tuple[str | None, int] | None:
    """(delimiter, field count) that make `line` a row of at least two numbers."""
    for delimiter in _DELIMITERS:
        width = len(_fields(line, delimiter))
        if width >= 2 and _row(line, delimiter, width):
            return delimiter, width
    return None


def _cut_inside(last: str, rows: list[list[str]], delimiter: str | None) -> str | None:
    """Why the unterminated last line looks like a row cut short; None when it looks whole."""
    fields = _fields(last, delimiter)
    width = len(rows[0])
    if len(fields) < width:
        return f"it holds {len(fields)} of the {width} fields of the rows above"
    for column, token in enumerate(fields[:width]):
        written = _format(token)
        if written is None:
            return f"its field {column + 1} ({token!r}) is not a complete number"
        above = [f for f in (_format(row[column]) for row in rows) if f is not None]
        decimals = min(f[0] for f in above)
        exponent = min(f[1] for f in above)
        if written[0] < decimals:
            return (
                f"its field {column + 1} ({token!r}) has {written[0]} decimals where the "
                f"rows above have at least {decimals}"
            )
        if written[1] < exponent:
            return f"its field {column + 1} ({token!r}) lacks exponent digits its column has"
    return None


def _announced(lines: list[str], first_row: int) -> tuple[int, bool] | None:
    """The row count a lone integer announces just above the rows (True: written with them),
    or just above their header line (False: the sweep's programmed count, which a sweep
    stopped early does not reach either)."""
    above = [lines[i].strip() for i in (first_row - 1, first_row - 2) if i >= 0]
    if above and above[0].isdigit():
        return int(above[0]), True
    if len(above) == 2 and not above[0][:1].isdigit() and above[1].isdigit():
        return int(above[1]), False
    return None


def find(path: Path) -> Truncation | None:
    """How the text file at `path` was cut short, or None when it ends as written."""
    if path.suffix.lower() in _BINARY_SUFFIXES:
        return None
    try:
        text = path.read_bytes().decode("latin-1")
    except OSError:
        return None
    lines = text.rstrip("\r\n").splitlines()
    # A last line without its line break is a candidate for a cut row, not a reference.
    open_end = (
        not text.endswith(("\n", "\r"))
        and bool(lines)
        and lines[-1].lstrip().startswith(_ROW_START)
    )
    body = lines[:-1] if open_end else lines
    layout = _layout(body[-1]) if body else None
    if layout is None:
        return None
    delimiter, width = layout
    first_row = len(body) - 1
    # Walking up the data block checks only the field count: cheap on a million rows.
    while first_row > 0:
        line = body[first_row - 1]
        if not line.lstrip().startswith(_ROW_START) or len(_fields(line, delimiter)) != width:
            break
        first_row -= 1
    start = max(first_row, len(body) - _REFERENCE_ROWS)
    rows = [_fields(line, delimiter) for line in body[start:] if _row(line, delimiter, width)]
    if open_end and rows:
        reason = _cut_inside(lines[-1], rows, delimiter)
        if reason is not None:
            return Truncation(len(lines), lines[-1], reason, True)
    announced = _announced(lines, first_row)
    found = len(lines) - first_row
    if announced is not None and found < announced[0]:
        count, written_with_rows = announced
        if written_with_rows:
            reason = f"the header announces {count} rows but the file holds {found}"
        else:
            reason = (
                f"the header programs {count} points but the file holds {found}: the sweep "
                "was stopped early or the file was cut short"
            )
        return Truncation(len(lines), lines[-1], reason, False, certain=written_with_rows)
    return None
