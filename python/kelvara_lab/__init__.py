"""Workflows over kelvara: read instrument files, check the data, test them with Lin-KK, plot."""

from kelvara_lab.checks import Finding, check, crop, drop_flagged, drop_inductive, inductive_rows
from kelvara_lab.io import FREQUENCY, IMAGINARY, REAL, SPECTRUM, read, spectra
from kelvara_lab.kk import KKResult, kk_test

__all__ = [
    "FREQUENCY",
    "IMAGINARY",
    "REAL",
    "SPECTRUM",
    "Finding",
    "KKResult",
    "check",
    "crop",
    "drop_flagged",
    "drop_inductive",
    "inductive_rows",
    "kk_test",
    "read",
    "spectra",
]
