"""Instrument files in, Battery-Data-Format frames out.

Parsing is left to the field's libraries: pyimpspec reads most formats, impedance.py's
``preprocessing`` the text exports pyimpspec does not (Autolab, CH Instruments, Parstat,
VersaStudio, ZPlot without comments), galvani BioLogic's binary ``.mpr``. This module only
picks the library, puts the result into the BDF columns and records where it came from.
"""

from __future__ import annotations

import re
import warnings
from collections.abc import Callable, Iterator
from importlib import metadata
from pathlib import Path
from typing import Any, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvara_lab.io import truncation
from kelvara_lab.io.columns import FREQUENCY, IMAGINARY, REAL, SHORT, SPECTRUM
from kelvara_lab.io.tables import read_headed_table
from kelvara_lab.spectrum.checks import check as run_checks

__all__ = ["FREQUENCY", "IMAGINARY", "REAL", "SPECTRUM", "ReadError", "read", "spectra"]

Spectrum = tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]

# Column names a table may already carry: BDF, its snake-case aliases.
_BDF_NAMES = {alias: name for name in (FREQUENCY, REAL, IMAGINARY) for alias in (name, SHORT[name])}
_TABLE_SUFFIXES = {".csv", ".tsv", ".txt"}
_FORMATS = {
    ".dta": "Gamry DTA",
    ".mpt": "BioLogic mpt",
    ".mpr": "BioLogic mpr",
    ".z": "ZView/ZPlot z",
    ".p00": "Princeton P00",
    ".i2b": "Elchemea i2b",
    ".idf": "DearEIS idf",
    ".pssession": "PalmSens pssession",
    ".xlsx": "Excel workbook",
    ".ods": "OpenDocument sheet",
    ".csv": "CSV table",
    ".tsv": "TSV table",
    ".txt": "text table",
    ".par": "VersaStudio par",
}
_INSTRUMENTS = {
    "chinstruments": "CH Instruments text",
    "parstat": "Parstat text",
    "zplot": "ZPlot z (no comments)",
    "autolab": "Autolab text",
}


class ReadError(ValueError):
    """A file that no reader could turn into a spectrum."""


def _version(package: str) -> str:
    try:
        return f"{package} {metadata.version(package)}"
    except metadata.PackageNotFoundError:  # pragma: no cover - only for unusual installs
        return package


# No header or row of a spectrum table is longer than this: a longer line holds the data
# of many rows, which the parsers take one field per column (minutes for a few MB).
_LINE_LIMIT = 64 * 1024
_LINE_FORMATS = _TABLE_SUFFIXES | {".mpt", ".i2b", ".z", ".dta", ".p00", ".par"}


def _bdf_header(path: Path) -> str | None:
    """The first line of a table whose header holds BDF or snake-case names, else None."""
    try:
        with path.open("rb") as stream:
            head = stream.readline(_LINE_LIMIT + 1)
    except OSError:
        return None
    line = head.decode("utf-8-sig", errors="replace")
    return line if any(name in line for name in _BDF_NAMES) else None


def _refuse_long_lines(path: Path) -> None:
    """Raise `ReadError` for a line past the limit: one vectorised pass over the bytes."""
    data = np.frombuffer(path.read_bytes(), dtype=np.uint8)
    ends = np.flatnonzero((data == ord("\n")) | (data == ord("\r")))
    lengths = np.diff(np.concatenate([[-1], ends, [data.size]])) - 1
    longest = int(np.argmax(lengths))
    if lengths[longest] > _LINE_LIMIT:
        raise ReadError(
            f"{path}: line {longest + 1} is {lengths[longest]} bytes long: a table needs its "
            "header and each row on lines of their own"
        )


def _delimiter(header: str) -> str:
    # The names hold spaces and slashes, so the first of these that splits the header into
    # three or more fields is the delimiter; white space only for snake-case names.
    for delimiter in ("\t", ";", ","):
        if len(header.split(delimiter)) >= 3:
            return delimiter
    return r"\s+"


def _read_bdf_table(path: Path) -> list[Spectrum] | None:
    """A CSV/TSV whose header already holds BDF or snake-case names; None when it does not."""
    header = _bdf_header(path)
    if header is None:
        return None
    try:
        with warnings.catch_warnings():
            # Rows longer than the header would become an index, or lose their extra fields.
            warnings.simplefilter("error", pd.errors.ParserWarning)
            table = pd.read_csv(
                path,
                sep=_delimiter(header),
                engine="c",
                encoding="utf-8-sig",
                index_col=False,
            )
    except UnicodeDecodeError as error:
        raise ReadError(f"{path}: not UTF-8 text ({error.reason})") from None
    except (ValueError, pd.errors.ParserError, pd.errors.ParserWarning) as error:
        raise ReadError(f"{path}: not a table of one row per line ({str(error).strip()})") from None
    sources: dict[str, list[str]] = {}
    for column in table.columns:
        if str(column).strip() in _BDF_NAMES:
            sources.setdefault(_BDF_NAMES[str(column).strip()], []).append(column)
    for name, columns in sources.items():
        if len(columns) > 1:
            both = " and ".join(repr(c) for c in columns)
            raise ReadError(f"{path}: the columns {both} both name {name!r}; keep one")
    table = table.rename(columns={columns[0]: name for name, columns in sources.items()})
    missing = [c for c in (FREQUENCY, REAL, IMAGINARY) if c not in table.columns]
    if missing:
        raise ReadError(f"{path}: the header names BDF columns but lacks {', '.join(missing)}")
    for name in (FREQUENCY, REAL, IMAGINARY):
        text = table[name].notna() & pd.to_numeric(table[name], errors="coerce").isna()
        if text.any():
            row = int(np.flatnonzero(text.to_numpy())[0])
            raise ReadError(
                f"{path}: column {name!r} holds {table[name].iloc[row]!r}, not a number, "
                f"in data row {row}"
            )
    groups = [table] if SPECTRUM not in table.columns else [g for _, g in table.groupby(SPECTRUM)]
    out: list[Spectrum] = []
    for g in groups:
        f = g[FREQUENCY].to_numpy(dtype=float)
        out.append((f, g[REAL].to_numpy(dtype=float) + 1j * g[IMAGINARY].to_numpy(dtype=float)))
    return out


def _read_plain_table(path: Path) -> tuple[list[Spectrum], str, str] | None:
    """(spectra, format, library) of a text table pandas reads alone: BDF or snake-case
    names, or the headers instruments and scripts write; None for any other file."""
    suffix = path.suffix.lower()
    if suffix not in _TABLE_SUFFIXES:
        return None
    bdf = _read_bdf_table(path)
    if bdf:
        return bdf, "BDF table", "pandas"
    with path.open("rb") as stream:
        first = stream.readline(_LINE_LIMIT + 1).decode("utf-8-sig", errors="replace")
    headed = read_headed_table(path, first)
    return (headed, _FORMATS[suffix], "pandas") if headed else None


def _read_pyimpspec(path: Path) -> list[Spectrum]:
    with warnings.catch_warnings():
        # NumPy and pandas deprecation chatter from inside the library; not the user's concern.
        warnings.simplefilter("ignore")
        import pyimpspec

        found = pyimpspec.parse_data(path)
    return [
        (
            np.asarray(d.get_frequencies(), dtype=float),
            np.asarray(d.get_impedances(), dtype=complex),
        )
        for d in found
    ]


def _read_impedance_py(instrument: str) -> Callable[[Path], list[Spectrum]]:
    def read(path: Path) -> list[Spectrum]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            from impedance import preprocessing

            f, z = preprocessing.readFile(str(path), instrument=instrument)
        if len(f) == 0:
            raise ReadError(f"{path}: no impedance points found as a {instrument} export")
        return [(np.asarray(f, dtype=float), np.asarray(z, dtype=complex))]

    return read


def _read_mpr(path: Path) -> list[Spectrum]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from galvani import BioLogic

        data = BioLogic.MPRfile(str(path)).data
    names = data.dtype.names or ()
    if "freq/Hz" not in names:
        raise ReadError(f"{path}: the .mpr file holds no impedance data (no freq/Hz column)")
    f = np.asarray(data["freq/Hz"], dtype=float)
    # BioLogic stores -Im(Z); the frame carries the physics sign.
    z = np.asarray(data["Re(Z)/Ohm"], dtype=float) - 1j * np.asarray(
        data["-Im(Z)/Ohm"], dtype=float
    )
    if "cycle number" in names:
        cycles = np.asarray(data["cycle number"])
        return [(f[cycles == c], z[cycles == c]) for c in np.unique(cycles)]
    return [(f, z)]


def _sniff_text(path: Path) -> str | None:
    """Which impedance.py instrument reader a text export needs, from its first lines."""
    try:
        with path.open(encoding="utf-8-sig", errors="replace") as stream:
            head = "".join(stream.readline() for _ in range(12))
    except OSError:
        return None
    if "A.C. Impedance" in head or "Instrument Model:  CHI" in head:
        return "chinstruments"
    if "Zre (ohms)" in head and "Frequency (Hz)" in head:
        return "parstat"
    if "ZPlotW Data File" in head:
        return "zplot"
    if "Z60W Data File" in head or "Freq (Hz)" in head:
        return "autolab"
    return None


def _readers(path: Path) -> Iterator[tuple[str, str, Callable[[Path], list[Spectrum]]]]:
    """(format, library, reader) to try in order."""
    suffix = path.suffix.lower()
    name = _FORMATS.get(suffix, f"{suffix or 'extensionless'} file")
    if suffix == ".mpr":
        yield name, "galvani", _read_mpr
        return
    if suffix == ".par":
        yield name, "impedance", _read_impedance_py("versastudio")
        return
    yield name, "pyimpspec", _read_pyimpspec
    instrument = _sniff_text(path) if suffix in _TABLE_SUFFIXES | {".z"} else None
    if instrument is not None:
        yield _INSTRUMENTS[instrument], "impedance", _read_impedance_py(instrument)


def _gamry_metadata(path: Path) -> dict[str, Any]:
    # The header is KEY<TAB>TYPE<TAB>VALUE lines; only the ones the checks use are kept.
    out: dict[str, Any] = {}
    text = path.read_text(encoding="latin-1", errors="replace")
    pattern = re.compile(r"^(\w+)\t(?:QUANT|TOGGLE|LABEL)\t([^\t\r\n]*)", re.MULTILINE)
    fields: dict[str, str] = {m.group(1): m.group(2) for m in pattern.finditer(text)}
    try:
        out["nominal_frequency_range"] = (float(fields["FREQINIT"]), float(fields["FREQFINAL"]))
    except (KeyError, ValueError):
        pass
    if fields.get("EXPERIMENTABORTED") == "T":
        out["aborted"] = True
    for key in ("DATE", "TIME", "TITLE", "PSTAT"):
        if key in fields:
            out[key.lower()] = fields[key]
    return out


def _frame(parts: list[Spectrum]) -> pd.DataFrame:
    columns: dict[str, Any] = {
        FREQUENCY: np.concatenate([f for f, _ in parts]),
        REAL: np.concatenate([z.real for _, z in parts]),
        IMAGINARY: np.concatenate([z.imag for _, z in parts]),
    }
    if len(parts) > 1:
        columns[SPECTRUM] = np.repeat(np.arange(len(parts)), [len(f) for f, _ in parts])
    return pd.DataFrame(columns)


def _read_with_libraries(path: Path) -> tuple[list[Spectrum], str, str]:
    """(spectra, format, library) from the first reader that finds points in the file."""
    failures: list[str] = []
    for fmt, library, reader in _readers(path):
        try:
            parts = reader(path)
        except ReadError as error:
            failures.append(str(error))
            continue
        except Exception as error:  # noqa: BLE001 - each library fails in its own way
            failures.append(f"{library}: {type(error).__name__}: {error}")
            continue
        if parts and any(len(f) for f, _ in parts):
            return parts, fmt, library
        failures.append(f"{library}: no impedance points found")
    detail = "; ".join(failures) or "no reader for this kind of file"
    raise ReadError(f"cannot read {path.name} as an impedance spectrum ({detail})")


def _truncation(path: Path, frame: pd.DataFrame) -> dict[str, Any] | None:
    """Where the file was cut short, as plain data for ``attrs["truncated"]``; "row" is the
    frame row holding the cut line's values, None when the reader dropped that line."""
    cut = truncation.find(path)
    if cut is None:
        return None
    row = None
    if cut.partial and len(frame):
        numbers = re.findall(r"[+-]?\d+(?:[.,]\d*)?(?:[eE][+-]?\d+)?", cut.text)
        values = {float(n.replace(",", ".")) for n in numbers}
        if float(frame[FREQUENCY].iloc[-1]) in values:
            row = len(frame) - 1
    return {
        "line": cut.line,
        "text": cut.text,
        "reason": cut.reason,
        "partial": cut.partial,
        "certain": cut.certain,
        "row": row,
    }


def read(path: str | Path, *, check: bool = True) -> pd.DataFrame:
    """Read an impedance spectrum file into a frame with the BDF columns.

    The imaginary part carries the physics sign (capacitive arcs negative). A file with several
    spectra gets an integer "Spectrum" column. ``attrs`` holds the path, the format, the library
    that read it and any header metadata, and, unless ``check=False``, the findings of
    ``check()`` under "findings". A text file cut short (inside its last row, or below the row
    count its header announces) is recorded under "truncated", which ``check()`` reports as an
    error naming the row. Raises ``FileNotFoundError`` or ``ReadError``.
    """
    path = Path(path)
    if not path.is_file():
        # Say what is there instead: a folder or a pipe is not a missing file, and a pipe
        # would block a reader waiting for a writer.
        if path.is_dir():
            raise ReadError(f"{path} is a folder, not a file")
        if path.exists():
            raise ReadError(f"{path} is not a regular file (a pipe, socket or device)")
        raise FileNotFoundError(f"no such file: {path}")
    if path.suffix.lower() in _LINE_FORMATS:
        _refuse_long_lines(path)
    parts, fmt, library = _read_plain_table(path) or _read_with_libraries(path)
    frame = _frame(parts)
    frame.attrs.update(path=str(path), format=fmt, reader=_version(library), spectra=len(parts))
    if path.suffix.lower() == ".dta":
        frame.attrs.update(_gamry_metadata(path))
    cut = _truncation(path, frame)
    if cut is not None:
        frame.attrs["truncated"] = cut
    if check:
        frame.attrs["findings"] = run_checks(frame)
    return frame


def spectra(frame: pd.DataFrame) -> Iterator[tuple[int, pd.DataFrame]]:
    """Each spectrum of a frame as (index, sub-frame); a frame without "Spectrum" is one."""
    if SPECTRUM not in frame.columns:
        yield 0, frame
        return
    cut = frame.attrs.get("truncated")
    labels = frame[SPECTRUM].to_numpy()
    for value, group in frame.groupby(SPECTRUM, sort=True):
        sub = group.reset_index(drop=True)
        sub.attrs = dict(frame.attrs)
        if cut is not None:
            # Only the spectrum the file was cut in carries the cut, at its own row number.
            positions = np.flatnonzero(labels == value)
            target = len(frame) - 1 if cut["row"] is None else cut["row"]
            if target in positions:
                row = None if cut["row"] is None else int(np.searchsorted(positions, target))
                sub.attrs["truncated"] = {**cut, "row": row}
            else:
                del sub.attrs["truncated"]
        yield int(cast(int, value)), sub
