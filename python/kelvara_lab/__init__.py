"""Workflows over kelvara: read instrument files, check the data, test them with Lin-KK, fit,
compare and plot.

Names load with their module on first use, so that ``import kelvara_lab`` (and the command
line, which lives inside the package) does not wait for pandas until something needs it.
"""

from __future__ import annotations

import importlib
import sys
import types
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from kelvara_lab.batch import fit_many as fit_many
    from kelvara_lab.batch import read_results as read_results
    from kelvara_lab.batch import write_results as write_results
    from kelvara_lab.checks import Finding as Finding
    from kelvara_lab.checks import check as check
    from kelvara_lab.checks import crop as crop
    from kelvara_lab.checks import drop_flagged as drop_flagged
    from kelvara_lab.checks import drop_inductive as drop_inductive
    from kelvara_lab.checks import inductive_rows as inductive_rows
    from kelvara_lab.columns import FREQUENCY as FREQUENCY
    from kelvara_lab.columns import IMAGINARY as IMAGINARY
    from kelvara_lab.columns import REAL as REAL
    from kelvara_lab.columns import SPECTRUM as SPECTRUM
    from kelvara_lab.compare import compare as compare
    from kelvara_lab.drt import CircuitDrt as CircuitDrt
    from kelvara_lab.drt import DrtResult as DrtResult
    from kelvara_lab.drt import drt as drt
    from kelvara_lab.drt import drt_of as drt_of
    from kelvara_lab.drt.batch import drt_many as drt_many
    from kelvara_lab.fitting import fit as fit
    from kelvara_lab.identify import identify as identify
    from kelvara_lab.io import ReadError as ReadError
    from kelvara_lab.io import read as read
    from kelvara_lab.io import spectra as spectra
    from kelvara_lab.kk import KKResult as KKResult
    from kelvara_lab.kk import kk_test as kk_test
    from kelvara_lab.report import FitReport as FitReport
    from kelvara_lab.results import ResultsFileError as ResultsFileError
    from kelvara_lab.spectrum import DataError as DataError
    from kelvara_lab.zhit import ZhitResult as ZhitResult
    from kelvara_lab.zhit import zhit as zhit

    __version__: str

# Public name -> the module that defines it.
_HOMES = {
    "FREQUENCY": "columns",
    "IMAGINARY": "columns",
    "REAL": "columns",
    "SPECTRUM": "columns",
    "Finding": "checks",
    "check": "checks",
    "crop": "checks",
    "drop_flagged": "checks",
    "drop_inductive": "checks",
    "inductive_rows": "checks",
    "KKResult": "kk",
    "kk_test": "kk",
    "ReadError": "io",
    "read": "io",
    "spectra": "io",
    "DataError": "spectrum",
    "FitReport": "report",
    "ResultsFileError": "results",
    "compare": "compare",
    "fit": "fitting",
    "identify": "identify",
    "fit_many": "batch",
    "read_results": "batch",
    "write_results": "batch",
    "CircuitDrt": "drt",
    "DrtResult": "drt",
    "drt": "drt",
    "drt_of": "drt",
    "drt_many": "drt.batch",
    "ZhitResult": "zhit",
    "zhit": "zhit",
}

__all__ = sorted(_HOMES)


class _Package(types.ModuleType):
    """The package module, keeping a public name bound to its function when a submodule of
    the same name loads (the import system then sets the submodule as the attribute, so
    ``kelvara_lab.compare`` would turn into a module after its first import)."""

    def __setattr__(self, name: str, value: Any) -> None:
        if isinstance(value, types.ModuleType) and _HOMES.get(name) == name:
            value = getattr(value, name)
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package


def __getattr__(name: str) -> Any:
    if name == "__version__":  # the distribution that installs this package is kelvara's
        from importlib import metadata

        value: Any = metadata.version("kelvara")
    elif name in _HOMES:
        value = getattr(importlib.import_module(f"kelvara_lab.{_HOMES[name]}"), name)
    else:
        raise AttributeError(f"module 'kelvara_lab' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted([*globals(), *_HOMES])
