"""Data checks on a spectrum frame, and helpers that remove rows openly.

Every finding names the rows it concerns by position (0-based, as in ``frame.iloc``). The
helpers below return new frames and log what they removed in ``attrs["dropped"]``; nothing
is removed anywhere else.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvara_lab.io.columns import FREQUENCY, IMAGINARY, REAL, SPECTRUM

Severity = Literal["error", "warning", "info"]

# A measured maximum this close to 2*pi times the programmed maximum means the file's
# frequency column holds angular frequencies under a hertz label.
_ANGULAR_TOLERANCE = 0.02


@dataclass(frozen=True)
class Finding:
    """One problem found in a spectrum: how bad, a short code, a message, the rows."""

    severity: Severity
    code: str
    message: str
    rows: tuple[int, ...] = ()

    def __str__(self) -> str:
        return f"{self.severity}: {self.message}"


_EMPTY = Finding("error", "empty", "the frame holds no points")


def _rows(mask: npt.NDArray[np.bool_], positions: npt.NDArray[np.intp]) -> tuple[int, ...]:
    return tuple(int(i) for i in positions[mask])


def _preview(rows: Sequence[int], limit: int = 6) -> str:
    shown = ", ".join(str(r) for r in rows[:limit])
    return shown + (", ..." if len(rows) > limit else "")


def _label(spectrum: object) -> str:
    return "" if spectrum is None else f"spectrum {spectrum}: "


def _inductive_mask(
    f: npt.NDArray[np.float64], im: npt.NDArray[np.float64]
) -> npt.NDArray[np.bool_]:
    # Inductive: a positive imaginary part above the spectrum's middle frequency (log scale);
    # positive values at low frequency are a different fault and are not called inductive.
    finite = np.isfinite(f) & np.isfinite(im) & (f > 0)
    if not finite.any():
        return np.zeros_like(finite)
    middle = float(np.sqrt(f[finite].min() * f[finite].max()))
    return finite & (im > 0) & (f >= middle)


def inductive_rows(frame: pd.DataFrame) -> tuple[int, ...]:
    """Positions of the high-frequency points with a positive (inductive) imaginary part."""
    found: list[int] = []
    for positions, f, _re, im in _groups(frame):
        found.extend(_rows(_inductive_mask(f, im), positions))
    return tuple(sorted(found))


def _groups(
    frame: pd.DataFrame,
) -> Iterable[
    tuple[
        npt.NDArray[np.intp],
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
        npt.NDArray[np.float64],
    ]
]:
    missing = [c for c in (FREQUENCY, REAL, IMAGINARY) if c not in frame.columns]
    if missing:
        raise ValueError(f"expected a frame with the columns {', '.join(map(repr, missing))}")
    f = pd.to_numeric(frame[FREQUENCY], errors="coerce").to_numpy(dtype=float)
    re = pd.to_numeric(frame[REAL], errors="coerce").to_numpy(dtype=float)
    im = pd.to_numeric(frame[IMAGINARY], errors="coerce").to_numpy(dtype=float)
    positions = np.arange(len(frame))
    if SPECTRUM in frame.columns:
        labels = frame[SPECTRUM].to_numpy()
        for value in pd.unique(labels):
            sel = labels == value
            yield positions[sel], f[sel], re[sel], im[sel]
    else:
        yield positions, f, re, im


def check_arrays(
    f: npt.NDArray[np.float64], re: npt.NDArray[np.float64], im: npt.NDArray[np.float64]
) -> list[Finding]:
    """`check` for one spectrum given as arrays, without building a frame (the fast path
    of every fit handed ``(f, z)``)."""
    findings = _check_one(f, re, im, np.arange(len(f)), "")
    if len(f) == 0:
        findings.append(_EMPTY)
    return findings


def _duplicated(f: npt.NDArray[np.float64]) -> npt.NDArray[np.bool_]:
    # Every member of a group of equal values, as pandas' duplicated(keep=False).
    order = np.argsort(f, kind="stable")
    equal = f[order][1:] == f[order][:-1]
    sorted_mask = np.zeros(len(f), dtype=bool)
    sorted_mask[1:] |= equal
    sorted_mask[:-1] |= equal
    mask = np.empty(len(f), dtype=bool)
    mask[order] = sorted_mask
    return mask


def check(frame: pd.DataFrame) -> list[Finding]:
    """Check a spectrum frame and return its findings (an empty list when all is well).

    Covers non-finite values, zero or negative and duplicate frequencies, an imaginary part
    that looks sign-flipped, frequencies that look like rad/s (when the metadata gives the
    programmed range) and inductive high-frequency points. Several spectra are checked one
    by one.
    """
    findings: list[Finding] = []
    several = SPECTRUM in frame.columns and frame[SPECTRUM].nunique() > 1
    for positions, f, re, im in _groups(frame):
        spectrum = frame[SPECTRUM].iloc[positions[0]] if several and len(positions) else None
        findings.extend(_check_one(f, re, im, positions, _label(spectrum)))
    if len(frame) == 0:
        findings.append(_EMPTY)
    findings.extend(_check_metadata(frame))
    return findings


def _check_one(
    f: npt.NDArray[np.float64],
    re: npt.NDArray[np.float64],
    im: npt.NDArray[np.float64],
    positions: npt.NDArray[np.intp],
    label: str,
) -> list[Finding]:
    out: list[Finding] = []
    bad = ~(np.isfinite(f) & np.isfinite(re) & np.isfinite(im))
    if bad.any():
        rows = _rows(bad, positions)
        out.append(
            Finding(
                "error",
                "non-finite",
                f"{label}{len(rows)} row(s) hold a missing or non-finite value "
                f"(rows {_preview(rows)})",
                rows,
            )
        )
    nonpos = np.isfinite(f) & (f <= 0)
    if nonpos.any():
        rows = _rows(nonpos, positions)
        out.append(
            Finding(
                "error",
                "non-positive-frequency",
                f"{label}{len(rows)} row(s) have a zero or negative frequency "
                f"(rows {_preview(rows)})",
                rows,
            )
        )
    finite_f = np.isfinite(f)
    dup = finite_f & _duplicated(f)
    if dup.any():
        rows = _rows(dup, positions)
        out.append(
            Finding(
                "warning",
                "duplicate-frequency",
                f"{label}{len(rows)} row(s) share a frequency with another row "
                f"(rows {_preview(rows)})",
                rows,
            )
        )
    good = ~bad & (f > 0)
    positive = good & (im > 0)
    if good.any() and positive.sum() > 0.5 * good.sum():
        rows = _rows(positive, positions)
        out.append(
            Finding(
                "warning",
                "sign-flipped",
                f"{label}{len(rows)} of {int(good.sum())} points have a positive "
                "imaginary part; the file may hold -Z'' (negate the imaginary column "
                "if so)",
                rows,
            )
        )
    else:
        ind = _inductive_mask(f, im)
        if ind.any():
            rows = _rows(ind, positions)
            out.append(
                Finding(
                    "info",
                    "inductive",
                    f"{label}{len(rows)} high-frequency point(s) are inductive "
                    f"(positive imaginary part; rows {_preview(rows)}); "
                    "drop_inductive() (--drop-inductive on the command line) removes them",
                    rows,
                )
            )
    return out


def _truncated(cut: dict[str, Any], count: int) -> Finding:
    row = cut.get("row")
    text = cut["text"] if len(cut["text"]) <= 40 else "..." + cut["text"][-40:]
    line = f"line {cut['line']}: {text!r}"
    if not cut.get("certain", True):
        return Finding("warning", "short-sweep", f"after {line}, {cut['reason']}")
    if not cut.get("partial", True):
        message = f"the file was cut short after {line}: {cut['reason']}"
    elif row is not None and row < count:
        message = f"the file was cut short inside row {row} ({line}): {cut['reason']}"
        return Finding("error", "truncated", message, (row,))
    else:
        message = f"the file was cut short inside {line}, which was dropped: {cut['reason']}"
    return Finding("error", "truncated", message)


def _check_metadata(frame: pd.DataFrame) -> list[Finding]:
    out = []
    if frame.attrs.get("truncated"):
        out.append(_truncated(frame.attrs["truncated"], len(frame)))
    if frame.attrs.get("aborted"):
        out.append(
            Finding(
                "warning",
                "aborted",
                "the file says the experiment was aborted: the sweep may be incomplete",
            )
        )
    # Needs the programmed frequency range from the file header; without it nothing is claimed.
    nominal: Any = frame.attrs.get("nominal_frequency_range")
    if not nominal or FREQUENCY not in frame.columns:
        return out
    f = pd.to_numeric(frame[FREQUENCY], errors="coerce").to_numpy(dtype=float)
    f = f[np.isfinite(f) & (f > 0)]
    top = max(float(v) for v in nominal)
    if f.size == 0 or top <= 0:
        return out
    ratio = float(f.max()) / top
    if abs(ratio / (2 * np.pi) - 1) < _ANGULAR_TOLERANCE:
        out.append(
            Finding(
                "warning",
                "angular-frequency",
                f"the highest frequency ({f.max():.6g}) is 2*pi times the programmed "
                f"maximum ({top:.6g} Hz): the column looks like rad/s; divide by 2*pi",
            )
        )
    return out


def _with_rows_removed(frame: pd.DataFrame, rows: Iterable[int], reason: str) -> pd.DataFrame:
    drop = sorted(set(int(r) for r in rows))
    keep = np.ones(len(frame), dtype=bool)
    keep[drop] = False
    out = frame.iloc[keep].reset_index(drop=True)
    out.attrs = dict(frame.attrs)
    cut = frame.attrs.get("truncated")
    if cut is not None and cut.get("row") is not None:
        # The row with the cut values may be gone (then so is the fault) or have moved up.
        if cut["row"] in drop:
            del out.attrs["truncated"]
        else:
            out.attrs["truncated"] = {**cut, "row": int(keep[: cut["row"]].sum())}
    out.attrs["dropped"] = [
        *frame.attrs.get("dropped", []),
        {"reason": reason, "rows": tuple(drop)},
    ]
    if "findings" in frame.attrs:
        out.attrs["findings"] = check(out)
    return out


def crop(
    frame: pd.DataFrame, f_min: float | None = None, f_max: float | None = None
) -> pd.DataFrame:
    """A new frame with only the points whose frequency lies in [f_min, f_max] (Hz)."""
    f = pd.to_numeric(frame[FREQUENCY], errors="coerce").to_numpy(dtype=float)
    lo = -np.inf if f_min is None else f_min
    hi = np.inf if f_max is None else f_max
    if lo > hi:
        raise ValueError(f"f_min ({f_min}) is above f_max ({f_max})")
    outside = ~((f >= lo) & (f <= hi))
    return _with_rows_removed(frame, np.flatnonzero(outside), f"outside {lo:g} to {hi:g} Hz")


def drop_rows(frame: pd.DataFrame, rows: Iterable[int]) -> pd.DataFrame:
    """A new frame without the given rows (numbered from 0 in the frame's order)."""
    return _with_rows_removed(frame, rows, "excluded")


def drop_inductive(frame: pd.DataFrame) -> pd.DataFrame:
    """A new frame without the inductive high-frequency points."""
    return _with_rows_removed(frame, inductive_rows(frame), "inductive")


def drop_flagged(
    frame: pd.DataFrame,
    findings: Iterable[Finding] | None = None,
    severities: Iterable[Severity] = ("error",),
) -> pd.DataFrame:
    """A new frame without the rows named by findings of the given severities.

    The findings default to ``check(frame)``.
    """
    chosen = set(severities)
    found = check(frame) if findings is None else list(findings)
    rows = [r for item in found if item.severity in chosen for r in item.rows]
    codes = sorted({item.code for item in found if item.severity in chosen and item.rows})
    return _with_rows_removed(frame, rows, "flagged: " + ", ".join(codes) if codes else "flagged")
