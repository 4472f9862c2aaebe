"""Results tables on disk: written whole or not at all, read back only when whole.

A write goes to temporary files beside the target, each flushed to the disk, and then renamed
over the targets, so a write that fails (a full disk, a killed process) leaves the previous
files as they were. Each file carries what it was written with, and a reader refuses a file
that does not match it:

- Parquet: the schema metadata key ``kelvara_lab`` holds ``{"rows": n, "columns": [...],
  "crc32": c}``, c over the values as pandas holds them (see `content_crc`); Parquet's own
  footer already makes a cut file unreadable, the CRC catches a changed value. Files
  without the key (written before it existed, or by other tools) are read as they are, and
  a stamp without the CRC is checked for its shape alone.
- CSV: a plain table that any program reads (``pandas.read_csv(path)``, a spreadsheet). Its
  stamp lies beside it in ``<name>.stamp.json``: the row count, each column's name and type,
  the mark standing for a missing text where a column has one, and the length and CRC-32 of
  the table's bytes; the CRC covers the stamp too, so an edited type is caught. A CSV
  without a stamp cannot be told from a cut one and is refused. Files from before the stamp
  moved out start with a ``# kelvara_lab results {...}`` line holding it, and still read.
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

import numpy as np
import pandas as pd

METADATA_KEY = "kelvara_lab"
STAMP_SUFFIX = ".stamp.json"
_CSV_MARK = b"# kelvara_lab results "


class ResultsFileError(ValueError):
    """A results file that is not whole, or that does not say what it was written with."""


def _replace_together(writes: list[tuple[Path, Callable[[IO[bytes]], object]]]) -> None:
    """Write each file through its function into a new file beside it, then rename them all."""
    partials: list[tuple[Path, Path]] = []
    try:
        for target, write in writes:
            partial = target.with_name(f".{target.name}.{secrets.token_hex(4)}.part")
            # os.open keeps the user's umask for the new file, where tempfile makes it private.
            descriptor = _create(partial, target)
            partials.append((partial, target))
            with os.fdopen(descriptor, "wb") as stream:
                try:
                    write(stream)
                    stream.flush()
                    os.fsync(stream.fileno())
                except OSError as error:
                    raise _naming(error, target) from error
        for partial, target in partials:
            os.replace(partial, target)
    except BaseException:
        for partial, _ in partials:
            with contextlib.suppress(OSError):
                os.unlink(partial)
        raise
    # The renames reach the disk with the folder's entry; not every system can sync one.
    with contextlib.suppress(OSError):
        folder = os.open(writes[0][0].parent, os.O_RDONLY)
        try:
            os.fsync(folder)
        finally:
            os.close(folder)


def _create(partial: Path, target: Path) -> int:
    try:
        return os.open(partial, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    except OSError as error:
        raise _naming(error, target) from error


def _naming(error: OSError, target: Path) -> OSError:
    """The same error about the user's file, not the temporary one beside it."""
    return type(error)(error.errno, f"cannot write {target}: {error.strerror or error}")


def _columns(table: pd.DataFrame) -> dict[str, str]:
    return {str(name): str(dtype) for name, dtype in table.dtypes.items()}


def content_crc(table: pd.DataFrame) -> int:
    """CRC-32 of a table's column names and values: numbers by their bits, others as text."""
    crc = 0
    for name in table.columns:
        column = table[name]
        crc = zlib.crc32(f"\x1e{name}\x1f{column.dtype}\x1f".encode(), crc)
        values = column.to_numpy()
        if values.dtype.kind in "biufc":
            crc = zlib.crc32(np.ascontiguousarray(values).tobytes(), crc)
            continue
        missing = column.isna().to_numpy()
        texts = (
            "\x00" if gone else "\x01" + str(v) for v, gone in zip(values, missing, strict=True)
        )
        crc = zlib.crc32("\x1f".join(texts).encode("utf-8", "surrogatepass"), crc)
    return crc


def write_parquet(table: pd.DataFrame, target: Path) -> None:
    import pyarrow as pa
    import pyarrow.parquet as pq

    arrow = pa.Table.from_pandas(table, preserve_index=False)
    stamp = json.dumps(
        {
            "rows": len(table),
            "columns": [str(c) for c in table.columns],
            "crc32": content_crc(table),
        }
    )
    arrow = arrow.replace_schema_metadata(
        {**(arrow.schema.metadata or {}), METADATA_KEY.encode(): stamp.encode()}
    )
    _replace_together([(target, lambda stream: pq.write_table(arrow, stream))])


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
    }
    stamp["crc32"] = zlib.crc32(body, zlib.crc32(_canonical(stamp)))
    _replace_together(
        [
            (target, lambda stream: stream.write(body)),
            (stamp_path(target), lambda stream: stream.write(json.dumps(stamp).encode())),
        ]
    )


def stamp_path(target: Path) -> Path:
    """Where the stamp of a results CSV lies: beside it, named after it."""
    return target.with_name(target.name + STAMP_SUFFIX)


def _canonical(stamp: dict[str, Any]) -> bytes:
    """The stamp's own fields, less its CRC, in one spelling."""
    return json.dumps({k: v for k, v in stamp.items() if k != "crc32"}, sort_keys=True).encode()


def read_parquet(source: Path) -> pd.DataFrame:
    import pyarrow as pa
    import pyarrow.parquet as pq

    try:
        footer = pq.ParquetFile(source)
        table = pd.read_parquet(source)
        stamp_bytes = (footer.schema_arrow.metadata or {}).get(METADATA_KEY.encode())
    # A damaged footer or page can surface as any of pyarrow's errors.
    except (OSError, ValueError, TypeError, LookupError, NotImplementedError) as error:
        raise ResultsFileError(f"{source.name} is not a whole Parquet file ({error})") from error
    except pa.ArrowException as error:
        raise ResultsFileError(f"{source.name} is not a whole Parquet file ({error})") from error
    if stamp_bytes is not None:
        try:
            stamp = json.loads(stamp_bytes)
            rows, columns = int(stamp["rows"]), [str(c) for c in stamp["columns"]]
            crc = None if stamp.get("crc32") is None else int(stamp["crc32"])
        except (ValueError, KeyError, TypeError) as error:
            raise ResultsFileError(f"{source.name}: its stamp is damaged ({error})") from error
        _check_shape(source, table, rows, columns)
        try:
            # pyarrow builds some values only when they are read: a damaged one fails here.
            differs = crc is not None and content_crc(table) != crc
        except (pa.ArrowException, ValueError, TypeError) as error:
            raise ResultsFileError(
                f"{source.name} is not a whole Parquet file ({error})"
            ) from error
        if differs:
            raise ResultsFileError(
                f"{source.name} has changed since it was written (the CRC-32 of its values differs)"
            )
    return table


def read_csv(source: Path) -> pd.DataFrame:
    raw = source.read_bytes()
    beside = stamp_path(source)
    if beside.exists():
        body, stamp = raw, _read_stamp(beside, source)
        if zlib.crc32(body, zlib.crc32(_canonical(stamp))) != _field(stamp, "crc32", source):
            raise ResultsFileError(
                f"{source.name} or its stamp {beside.name} has changed since they were "
                "written (CRC-32 differs)"
            )
    elif raw.startswith(_CSV_MARK):
        head, _, body = raw.partition(b"\n")
        stamp = _parse_stamp(head[len(_CSV_MARK) :], source, "its first line")
        if zlib.crc32(body) != _field(stamp, "crc32", source):
            raise ResultsFileError(
                f"{source.name} has changed since it was written (CRC-32 differs)"
            )
    else:
        raise ResultsFileError(
            f"{source.name} has no stamp beside it ({beside.name}) that write_results puts "
            "there, so it cannot be checked for being whole (written by another program, or "
            "the stamp not copied with it?); write it again with write_results, or read it "
            "with pandas.read_csv"
        )
    size = _field(stamp, "bytes", source)
    if len(body) != size:
        raise ResultsFileError(
            f"{source.name} is not whole: it holds {len(body)} bytes of table where "
            f"{size} were written (cut short, or changed since)"
        )
    return _parse_table(source, body, stamp)


def _read_stamp(beside: Path, source: Path) -> dict[str, Any]:
    try:
        raw = beside.read_bytes()
    except OSError as error:
        raise ResultsFileError(f"{source.name}: cannot read its stamp ({error})") from error
    return _parse_stamp(raw, source, f"its stamp {beside.name}")


def _parse_stamp(raw: bytes, source: Path, where: str) -> dict[str, Any]:
    try:
        stamp = json.loads(raw)
    except ValueError as error:
        raise ResultsFileError(f"{source.name}: {where} is damaged ({error})") from error
    if not isinstance(stamp, dict):
        raise ResultsFileError(f"{source.name}: {where} is damaged (not a JSON object)")
    return stamp


def _field(stamp: dict[str, Any], key: str, source: Path) -> int:
    value = stamp.get(key)
    if not isinstance(value, int) or isinstance(value, bool):
        raise ResultsFileError(f"{source.name}: its stamp's {key!r} is {value!r}, not a count")
    return value


def _parse_table(source: Path, body: bytes, stamp: dict[str, Any]) -> pd.DataFrame:
    try:
        rows = _field(stamp, "rows", source)
        columns = {str(k): str(v) for k, v in dict(stamp["columns"]).items()}
        marks = {str(k): str(v) for k, v in dict(stamp.get("missing", {})).items()}
    except (KeyError, TypeError, ValueError) as error:
        raise ResultsFileError(f"{source.name}: its stamp is damaged ({error!r})") from error
    text = [name for name, dtype in columns.items() if _is_text(dtype)]
    # Numbers read "NaN" as missing, texts only their own mark: an id "NaN" stays that text.
    missing = {name: ["NaN"] for name in columns if name not in text}
    missing.update({name: [mark] for name, mark in marks.items()})
    exact: dict[str, Any] = {}
    if pd.__version__.startswith("2."):
        exact["float_precision"] = "round_trip"  # pandas 3 parses floats exactly already
    try:
        table: pd.DataFrame = pd.read_csv(
            BytesIO(body),
            dtype={name: (str if name in text else dtype) for name, dtype in columns.items()},
            keep_default_na=False,
            na_values=missing,
            **exact,
        )
    except (ValueError, TypeError) as error:  # a type its values do not fit
        raise ResultsFileError(
            f"{source.name} does not read as the types its stamp gives ({error})"
        ) from error
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
