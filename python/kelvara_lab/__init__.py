"""Workflows over kelvara: read instrument files, check the data, test them with Lin-KK, plot."""

from kelvara_lab.checks import Finding, check, crop, drop_flagged, drop_inductive, inductive_rows
from kelvara_lab.io import FREQUENCY, IMAGINARY, REAL, SPECTRUM, read, spectra
from kelvara_lab.kk import KKResult, kk_test

# isort: split
# Fitting workflows (part 2).
from kelvara_lab.batch import fit_many, read_results, write_results
from kelvara_lab.compare import compare
from kelvara_lab.fitting import fit
from kelvara_lab.report import FitReport
from kelvara_lab.spectrum import DataError

# isort: split
# The distribution of relaxation times and Z-HIT.
from kelvara_lab.drt import CircuitDrt, DrtResult, drt, drt_of
from kelvara_lab.drt.batch import drt_many
from kelvara_lab.zhit import ZhitResult, zhit

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
    # part 2
    "DataError",
    "FitReport",
    "compare",
    "fit",
    "fit_many",
    "read_results",
    "write_results",
    # DRT and Z-HIT
    "CircuitDrt",
    "DrtResult",
    "ZhitResult",
    "drt",
    "drt_many",
    "drt_of",
    "zhit",
]
