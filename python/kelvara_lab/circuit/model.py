"""A circuit's parameters and impedance for the companion, whichever elements it holds.

kelvara's `Circuit` knows the fourteen built-in elements only (its catalogue and notation are
fixed). A circuit that uses custom elements (`kelvara_lab.circuit.elements`) is read by the
engine instead, and `EngineCircuit` answers the same questions from it: names, units, bounds,
values and the impedance, all computed natively.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

import kelvara
from kelvara_lab import _engine


class CircuitModel(Protocol):
    """What the companion asks of a circuit (kelvara's `Circuit` answers it too)."""

    def param_names(self) -> list[str]: ...
    def param_units(self) -> list[str]: ...
    def param_bounds(self) -> list[tuple[float, float]]: ...
    def param_values(self) -> list[float]: ...
    def impedance(self, frequencies: Any) -> npt.NDArray[np.complex128]: ...
    def with_values(self, values: Sequence[float]) -> CircuitModel: ...
    def guess(
        self, frequencies: Any, impedances: Any = None, weights: Any = None
    ) -> list[float]: ...


class EngineCircuit:
    """A circuit with custom elements, as the engine reads it."""

    def __init__(self, notation: str, values: Sequence[float] | None = None) -> None:
        described = _engine.describe(notation)
        self.notation = notation
        self._names: list[str] = described["names"]
        self._units: list[str] = described["units"]
        self._bounds = list(zip(described["lower"], described["upper"], strict=True))
        self._values = [float(v) for v in (described["values"] if values is None else values)]
        if len(self._values) != len(self._names):
            raise ValueError(
                f"this circuit has {len(self._names)} parameters, got {len(self._values)} values"
            )
        self.custom: tuple[str, ...] = tuple(described["custom"])

    def param_names(self) -> list[str]:
        return list(self._names)

    def param_units(self) -> list[str]:
        return list(self._units)

    def param_bounds(self) -> list[tuple[float, float]]:
        return list(self._bounds)

    def param_values(self) -> list[float]:
        return list(self._values)

    def with_values(self, values: Sequence[float]) -> EngineCircuit:
        return EngineCircuit(self.notation, [float(v) for v in values])

    def impedance(self, frequencies: Any) -> npt.NDArray[np.complex128]:
        return _engine.impedance(self.notation, self._values, np.asarray(frequencies, dtype=float))

    def guess(self, frequencies: Any, impedances: Any = None, weights: Any = None) -> list[float]:
        """Custom elements have no trained network: the fit starts from their defaults."""
        raise ValueError("there is no network for a circuit with custom elements")

    def __repr__(self) -> str:
        return f"EngineCircuit({self.notation!r}, {self._values})"


def uses_custom(circuit: str) -> bool:
    """True when `circuit` (notation or a registry name) holds a custom element. A text that
    is no circuit at all raises the notation error, which then lists the custom elements."""
    return bool(_engine.describe(circuit)["custom"])


def model_of(circuit: str) -> kelvara.Circuit | EngineCircuit:
    """kelvara's `Circuit` for circuits of built-in elements (its numbers, its networks), the
    engine's reading for circuits with custom elements."""
    if uses_custom(circuit):
        return EngineCircuit(circuit)
    return kelvara.Circuit(circuit)
