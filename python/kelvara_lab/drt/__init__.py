"""The distribution of relaxation times: regularised non-negative DRT on a Gaussian basis,
its peaks, the circuit they suggest, and the analytic DRT of a fitted circuit."""

from kelvara_lab.drt.circuit import CircuitDrt, drt_of, suggest_circuit
from kelvara_lab.drt.result import DrtResult
from kelvara_lab.drt.tikhonov import drt

__all__ = ["CircuitDrt", "DrtResult", "drt", "drt_of", "suggest_circuit"]
