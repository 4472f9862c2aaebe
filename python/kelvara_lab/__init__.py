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
    from kelvara_lab.batch.drt import drt_many as drt_many
    from kelvara_lab.batch.fits import fit_many as fit_many
    from kelvara_lab.circuit.elements import CustomElement as CustomElement
    from kelvara_lab.circuit.elements import element as element
    from kelvara_lab.circuit.elements import elements as elements
    from kelvara_lab.circuit.symbolic import expression as expression
    from kelvara_lab.circuit.symbolic import latex as latex
    from kelvara_lab.drt.circuit import CircuitDrt as CircuitDrt
    from kelvara_lab.drt.circuit import drt_of as drt_of
    from kelvara_lab.drt.result import DrtResult as DrtResult
    from kelvara_lab.drt.tikhonov import drt as drt
    from kelvara_lab.fitting.compare import compare as compare
    from kelvara_lab.fitting.report import FitReport as FitReport
    from kelvara_lab.fitting.run import fit as fit
    from kelvara_lab.identification.rank import identify as identify
    from kelvara_lab.io.columns import FREQUENCY as FREQUENCY
    from kelvara_lab.io.columns import IMAGINARY as IMAGINARY
    from kelvara_lab.io.columns import REAL as REAL
    from kelvara_lab.io.columns import SPECTRUM as SPECTRUM
    from kelvara_lab.io.read import ReadError as ReadError
    from kelvara_lab.io.read import read as read
    from kelvara_lab.io.read import spectra as spectra
    from kelvara_lab.io.results import ResultsFileError as ResultsFileError
    from kelvara_lab.io.results import read_results as read_results
    from kelvara_lab.io.results import write_results as write_results
    from kelvara_lab.spectrum.average import average as average
    from kelvara_lab.spectrum.checks import Finding as Finding
    from kelvara_lab.spectrum.checks import check as check
    from kelvara_lab.spectrum.checks import crop as crop
    from kelvara_lab.spectrum.checks import drop_flagged as drop_flagged
    from kelvara_lab.spectrum.checks import drop_inductive as drop_inductive
    from kelvara_lab.spectrum.checks import inductive_rows as inductive_rows
    from kelvara_lab.spectrum.record import DataError as DataError
    from kelvara_lab.validity.kk import KKResult as KKResult
    from kelvara_lab.validity.kk import kk_test as kk_test
    from kelvara_lab.validity.zhit import ZhitResult as ZhitResult
    from kelvara_lab.validity.zhit import zhit as zhit
    from kelvara_lab.views import plot as plot

    __version__: str

# Public name -> the module that defines it, in the order of the workflow.
_HOMES = {
    "FREQUENCY": "io.columns",
    "IMAGINARY": "io.columns",
    "REAL": "io.columns",
    "SPECTRUM": "io.columns",
    "Finding": "spectrum.checks",
    "check": "spectrum.checks",
    "crop": "spectrum.checks",
    "drop_flagged": "spectrum.checks",
    "drop_inductive": "spectrum.checks",
    "inductive_rows": "spectrum.checks",
    "average": "spectrum.average",
    "ReadError": "io.read",
    "read": "io.read",
    "spectra": "io.read",
    "DataError": "spectrum.record",
    "KKResult": "validity.kk",
    "kk_test": "validity.kk",
    "ZhitResult": "validity.zhit",
    "zhit": "validity.zhit",
    "element": "circuit.elements",
    "elements": "circuit.elements",
    "CustomElement": "circuit.elements",
    "drt": "drt.tikhonov",
    "DrtResult": "drt.result",
    "CircuitDrt": "drt.circuit",
    "drt_of": "drt.circuit",
    "expression": "circuit.symbolic",
    "latex": "circuit.symbolic",
    "fit": "fitting.run",
    "FitReport": "fitting.report",
    "compare": "fitting.compare",
    "identify": "identification.rank",
    "fit_many": "batch.fits",
    "drt_many": "batch.drt",
    "ResultsFileError": "io.results",
    "read_results": "io.results",
    "write_results": "io.results",
}
# Public modules -> where they live.
_MODULES = {"plot": "views.plot"}

__all__ = sorted([*_HOMES, *_MODULES])


class _Package(types.ModuleType):
    """The package module, keeping a public name for its function when a subpackage of the
    same name loads (the import system then sets the subpackage as the attribute, so
    ``kelvara_lab.drt`` would turn into a package after its first import)."""

    def __setattr__(self, name: str, value: Any) -> None:
        if isinstance(value, types.ModuleType) and name in _HOMES:
            return  # the public name is looked up on first use, by __getattr__
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package


def __getattr__(name: str) -> Any:
    if name == "__version__":  # the distribution that installs this package is kelvara's
        from importlib import metadata

        value: Any = metadata.version("kelvara")
    elif name in _HOMES:
        value = getattr(importlib.import_module(f"kelvara_lab.{_HOMES[name]}"), name)
    elif name in _MODULES:
        value = importlib.import_module(f"kelvara_lab.{_MODULES[name]}")
    else:
        raise AttributeError(f"module 'kelvara_lab' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    # The public names only: the imports above are this module's machinery, not its API.
    return sorted([*__all__, "__version__"])
