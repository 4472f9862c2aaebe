# Types of kelvara_lab's private native module (src/engine_module.cpp).
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

def fit(
    circuit: str,
    frequencies: Any,
    impedances: Any,
    starts: Sequence[Sequence[float]],
    held: Sequence[bool],
    lower: Sequence[float],
    upper: Sequence[float],
    weight: str = "modulus",
    max_iterations: int = 200,
    ftol: float = 1e-8,
    xtol: float = 1e-8,
    search: str = "thorough",
    seed: int = 0,
    effort: int = 4,
) -> dict[str, Any]: ...
def fit_options() -> list[dict[str, Any]]: ...
def engine_options() -> list[dict[str, Any]]: ...
def lin_kk(
    frequencies: Any,
    impedances: Any,
    mu_criterion: float = 0.85,
    min_rc: int | None = None,
    max_rc: int = 50,
    num_rc: int | None = None,
    fit: str = "complex",
    add_inductance: bool = True,
    add_capacitance: bool | None = None,
    weighting: str = "modulus",
) -> dict[str, Any]: ...
def lin_kk_capacitive_end(frequencies: Any, impedances: Any) -> bool: ...
def lin_kk_constants() -> dict[str, Any]: ...
def registry() -> dict[str, str]: ...
def statistics(
    circuit: str,
    frequencies: Any,
    impedances: Any,
    values: Sequence[float],
    chi_square: float,
    weight: str,
) -> tuple[list[float] | None, list[list[float]]]: ...
def structure(circuit: str) -> list[Any]: ...
def define_element(
    code: str, formula: str, parameters: Sequence[tuple[str, str, float, float, float, bool]]
) -> None: ...
def forget_element(code: str) -> bool: ...
def custom_elements() -> list[dict[str, Any]]: ...
def describe(circuit: str) -> dict[str, Any]: ...
def impedance(
    circuit: str, values: Sequence[float], frequencies: Any
) -> npt.NDArray[np.complex128]: ...
def derivatives(
    circuit: str, values: Sequence[float], frequencies: Any
) -> npt.NDArray[np.complex128]: ...
def formula_names(formula: str) -> list[str]: ...
