"""Turn what a user hands the fitting calls into arrays: what kelvara's ``Circuit.fit`` takes
(a pandas or polars frame or a dict of columns, with long or snake-case names, Cartesian or
polar; a pair ``(f, z)``) and a file path.

The data checks run here once per spectrum, so that every fit reports them and a spectrum
with an error-level finding never reaches the optimiser unnoticed.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvara_lab.io.columns import FREQUENCY, IMAGINARY, MODULUS, PHASE, REAL, SHORT, SPECTRUM
from kelvara_lab.spectrum.checks import Finding, check, check_arrays

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]


class DataError(ValueError):
    """The data checks found an error-level problem; the findings travel with it."""

    def __init__(self, findings: Sequence[Finding]) -> None:
        self.findings = tuple(findings)
        errors = [f.message for f in self.findings if f.severity == "error"]
        super().__init__("the data checks failed: " + "; ".join(errors))


@dataclass(frozen=True)
class Spectrum:
    """One spectrum as the optimisers see it, with the findings of its checks."""

    frequencies: FloatArray
    impedances: ComplexArray
    findings: tuple[Finding, ...] = ()


def _arrays(f: Any, z: Any) -> tuple[FloatArray, ComplexArray]:
    f = np.ascontiguousarray(f, dtype=float)
    z = np.ascontiguousarray(z, dtype=complex)
    if f.ndim != 1 or z.ndim != 1 or f.shape != z.shape:
        raise ValueError(
            f"frequencies and impedances must be one-dimensional and of equal length, "
            f"got shapes {f.shape} and {z.shape}"
        )
    return f, z


def _as_pandas(data: Any) -> pd.DataFrame | None:
    """A frame-like object as a pandas frame; None for anything else."""
    if isinstance(data, pd.DataFrame):
        return data
    if isinstance(data, Mapping):
        return pd.DataFrame({name: np.asarray(values) for name, values in data.items()})
    to_pandas = getattr(data, "to_pandas", None)  # polars, pyarrow tables
    if callable(to_pandas):
        frame = to_pandas()
        if isinstance(frame, pd.DataFrame):
            return frame
    return None


def _long_names(frame: pd.DataFrame) -> pd.DataFrame:
    """The frame with the long column names, as the core reads it: a snake-case column stands
    in for a missing long one, and modulus and phase for missing real and imaginary parts."""
    renames = {SHORT[n]: n for n in SHORT if n not in frame.columns and SHORT[n] in frame.columns}
    frame = frame.rename(columns=renames) if renames else frame
    cartesian = REAL in frame.columns and IMAGINARY in frame.columns
    if not cartesian and MODULUS in frame.columns and PHASE in frame.columns:
        modulus = pd.to_numeric(frame[MODULUS], errors="coerce").to_numpy(dtype=float)
        phase = np.radians(pd.to_numeric(frame[PHASE], errors="coerce").to_numpy(dtype=float))
        frame = frame.assign(**{REAL: modulus * np.cos(phase), IMAGINARY: modulus * np.sin(phase)})
    return frame


def from_frame(frame: pd.DataFrame, *, run_checks: bool = True) -> Spectrum:
    """The spectrum of a frame that holds exactly one."""
    frame = _long_names(frame)
    if SPECTRUM in frame.columns and frame[SPECTRUM].nunique() > 1:
        raise ValueError(
            f"the frame holds {frame[SPECTRUM].nunique()} spectra (column {SPECTRUM!r}); "
            "fit one at a time or use fit_many()"
        )
    missing = [c for c in (FREQUENCY, REAL, IMAGINARY) if c not in frame.columns]
    if missing:
        raise ValueError(f"the frame lacks the column(s) {', '.join(map(repr, missing))}")
    findings: list[Finding] = []
    if run_checks:
        # Checked afresh: findings stored in attrs may describe the whole file a part came from.
        findings = check(frame)
        if any(f.severity == "error" for f in findings):
            raise DataError(findings)
    f = pd.to_numeric(frame[FREQUENCY], errors="coerce").to_numpy(dtype=float)
    re = pd.to_numeric(frame[REAL], errors="coerce").to_numpy(dtype=float)
    im = pd.to_numeric(frame[IMAGINARY], errors="coerce").to_numpy(dtype=float)
    return Spectrum(np.ascontiguousarray(f), re + 1j * im, tuple(findings))


def one_spectrum(data: Any, z: Any = None) -> Any:
    """One spectrum as every function takes it: ``f, z`` is the pair ``(f, z)``; a pair, a
    frame or a file path passes through."""
    return data if z is None else (data, z)


def load(data: Any, *, run_checks: bool = True) -> Spectrum:
    """The spectrum of `data`: a frame (pandas, polars, a dict of columns), a file path, or a
    pair ``(f, z)``."""
    if isinstance(data, Spectrum):
        return data
    if isinstance(data, (str, os.PathLike)):
        from kelvara_lab.io.read import read

        return from_frame(read(Path(data)), run_checks=run_checks)
    if isinstance(data, tuple) and len(data) == 2:
        f, z = _arrays(*data)
        findings = check_arrays(f, z.real, z.imag) if run_checks else []
        if any(f.severity == "error" for f in findings):
            raise DataError(findings)
        return Spectrum(f, z, tuple(findings))
    frame = _as_pandas(data)
    if frame is not None:
        return from_frame(frame, run_checks=run_checks)
    raise TypeError(
        f"expected a data frame (pandas, polars or a dict of columns), a file path or a pair "
        f"(frequencies, impedances), got {type(data).__name__}"
    )
