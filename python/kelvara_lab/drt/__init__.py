"""The distribution of relaxation times: regularised non-negative DRT on a Gaussian basis
(``tikhonov``, ``system``, ``basis``, ``criteria``, ``band``), its peaks (``peaks``), its
record (``result``), the circuit the peaks suggest (``suggest``) and the analytic DRT of a
fitted circuit (``circuit``)."""

from kelvara_lab.drt.circuit import CircuitDrt, drt_of
from kelvara_lab.drt.result import DrtResult
from kelvara_lab.drt.suggest import suggest_circuit
from kelvara_lab.drt.tikhonov import drt

__all__ = ["CircuitDrt", "DrtResult", "drt", "drt_of", "suggest_circuit"]
