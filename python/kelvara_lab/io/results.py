"""Results tables on disk: written whole or not at all, read back only when whole.

A write goes to a temporary file beside the target, is flushed to the disk and then renamed
over the target, so a write that fails (a full disk, a killed process) leaves the previous
file as it was. Each file carries what it was written with, and a reader refuses a file
that does not match it:

- Parquet: the schema metadata key ``kelvara_lab`` holds ``{"rows": n, "columns": [...]}``;
  Parquet's own footer already makes a cut file unreadable. Files without the key (written
  before it existed, or by other tools) are read as they are.
- CSV: the first line is ``# kelvara_lab results {...}``, with the row count, each column's
  name and type, the mark standing for a missing text where a column has one, and the
  length and CRC-32 of the bytes after that line; other programs skip it as a comment
  (``pandas.read_csv(path, skiprows=1)``). A CSV without it cannot be told from a cut one
  and is refused.
"""

from __future__ import annotations

import contextlib
import json
import os
import secrets
import zlib
from collections.abc import Callable
from io import BytesIO
from pathlib import Path
from typing import IO, Any

import pandas as pd

METADATA_KEY = "kelvara_lab"
_CSV_MARK = b"# kelvara_lab results "


class ResultsFileError(ValueError):
    """A results file that is not whole, or that does not say what it was written with."""


def _replace_atomically(target: Path, write: Callable[[IO[bytes]], None]) -> None:
    """Write through `write` into a new file beside `target`, then rename it over `target`."""
    partial = target.with_name(f".{target.name}.{secrets.token_hex(4)}.part")
    # os.open keeps the user's umask for the new file, where tempfile would make it private.
    descriptor = os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(descriptor, "wb") as stream:
            write(stream)
            stream.flush()
            os.fsync(stream.fileno())
        os.replace(partial, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        raise
    # The rename reaches the disk with the folder's entry; not every system can sync one.
    with contextlib.suppress(OSError):
        folder = os.open(target.parent, os.O_RDONLY)
        try:
            os.fsync(folder)
        finally:
            os.close(folder)


def _columns(table: pd.DataFrame) -> dict[str, str]:
    return {str(name): str(dtype) for name, dtype in table.dtypes.items()}


def write_parquet(table: pd.DataFrame, target: Path) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    arrow = pa.Table.from_pandas(table, preserve_index=False)
    stamp = json.dumps({"rows": len(table), "columns": [str(c) for c in table.columns]})
    arrow = arrow.replace_schema_metadata(
        {**(arrow.schema.metadata or {}), METADATA_KEY.encode(): stamp.encode()}
    )
    _replace_atomically(target, lambda stream: pq.write_table(arrow, stream))


def _is_text(dtype: str) -> bool:
    return dtype in ("object", "str", "string")


def _missing_marks(table: pd.DataFrame) -> dict[str, str]:
    """For each text column with missing cells, a mark that none of its texts is."""
    marks = {}
    for name, dtype in _columns(table).items():
        column = table[name]
        if _is_text(dtype) and column.isna().any():
            texts = set(column.dropna().astype(str))
            marks[name] = next(
                m for m in (f"<NA{i or ''}>" for i in range(len(texts) + 1)) if m not in texts
            )
    return marks


def write_csv(table: pd.DataFrame, target: Path) -> None:
    # Shortest round-trip digits; "NaN" marks a missing number, an empty cell an empty text,
    # and a mark of its own (in the first line) a missing text, so that the text "NaN" stays.
    marks = _missing_marks(table)
    shown = table.copy() if marks else table
    for name, mark in marks.items():
        shown[name] = shown[name].astype(object).where(shown[name].notna(), mark)
    body = shown.to_csv(index=False, na_rep="NaN", lineterminator="\n").encode()
    stamp = {
        "rows": len(table),
        "columns": _columns(table),
        "missing": marks,
        "bytes": len(body),
        "crc32": zlib.crc32(body),
    }
    head = _CSV_MARK + json.dumps(stamp).encode() + b"\n"

    def write(stream: IO[bytes]) -> None:
        stream.write(head)
        stream.write(body)

    _replace_atomically(target, write)


def read_parquet(source: Path) -> pd.DataFrame:
    import pyarrow.parquet as pq

    try:
        footer = pq.ParquetFile(source)
        table = pd.read_parquet(source)
    except (OSError, ValueError) as error:  # pyarrow's ArrowInvalid is a ValueError
        raise ResultsFileError(f"{source.name} is not a whole Parquet file ({error})") from error
    stamp_bytes = (footer.schema_arrow.metadata or {}).get(METADATA_KEY.encode())
    if stamp_bytes is not None:
        stamp = json.loads(stamp_bytes)
        _check_shape(source, table, stamp["rows"], stamp["columns"])
    return table


def read_csv(source: Path) -> pd.DataFrame:
    raw = source.read_bytes()
    head, _, body = raw.partition(b"\n")
    if not head.startswith(_CSV_MARK):
        raise ResultsFileError(
            f"{source.name} does not start with the '# kelvara_lab results' line that "
            "write_results puts there, so it cannot be checked for being whole (written by "
            "another program or an older kelvara_lab?); write it again with write_results, "
            "or read it with pandas.read_csv"
        )
    try:
        stamp: dict[str, Any] = json.loads(head[len(_CSV_MARK) :])
        rows, columns = int(stamp["rows"]), dict(stamp["columns"])
        marks = dict(stamp.get("missing", {}))
        size, crc = int(stamp["bytes"]), int(stamp["crc32"])
    except (ValueError, KeyError, TypeError) as error:
        raise ResultsFileError(f"{source.name}: its first line is damaged ({error})") from error
    if len(body) != size:
        raise ResultsFileError(
            f"{source.name} is not whole: it holds {len(body)} bytes of table where "
            f"{size} were written (cut short, or changed since)"
        )
    if zlib.crc32(body) != crc:
        raise ResultsFileError(f"{source.name} has changed since it was written (CRC-32 differs)")
    text = [name for name, dtype in columns.items() if _is_text(dtype)]
    # Numbers read "NaN" as missing, texts only their own mark: an id "NaN" stays that text.
    missing = {name: ["NaN"] for name in columns if name not in text}
    missing.update({name: [mark] for name, mark in marks.items()})
    exact: dict[str, Any] = {}
    if pd.__version__.startswith("2."):
        exact["float_precision"] = "round_trip"  # pandas 3 parses floats exactly already
    table: pd.DataFrame = pd.read_csv(
        BytesIO(body),
        dtype={name: (str if name in text else dtype) for name, dtype in columns.items()},
        keep_default_na=False,
        na_values=missing,
        **exact,
    )
    _check_shape(source, table, rows, list(columns))
    return table


def _check_shape(source: Path, table: pd.DataFrame, rows: int, columns: list[str]) -> None:
    if len(table) != rows or [str(c) for c in table.columns] != columns:
        raise ResultsFileError(
            f"{source.name} holds {len(table)} rows and {len(table.columns)} columns where "
            f"{rows} rows and {len(columns)} columns were written"
        )


def write_results(table: pd.DataFrame, path: str | os.PathLike[str]) -> None:
    """Write a `fit_many` table to .parquet or .csv; the units live in the column names.

    The file is replaced whole or not at all, and carries its row count and columns for
    `read_results` to check (see this module's notes).
    """
    target = Path(path)
    suffix = target.suffix.lower()
    if suffix == ".parquet":
        write_parquet(table, target)
    elif suffix == ".csv":
        write_csv(table, target)
    else:
        raise ValueError(f"cannot write {target.name}: expected a .parquet or .csv file")


def read_results(path: str | os.PathLike[str]) -> pd.DataFrame:
    """Read a table written by `write_results`, giving back the same numbers bit for bit.

    Raises `ResultsFileError` for a file that is not whole: cut short, or with other rows or
    columns than it was written with.
    """
    source = Path(path)
    suffix = source.suffix.lower()
    if suffix == ".parquet":
        return read_parquet(source)
    if suffix == ".csv":
        return read_csv(source)
    raise ValueError(f"cannot read {source.name}: expected a .parquet or .csv file")
