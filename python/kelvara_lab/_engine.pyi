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
    search: bool = True,
    seed: int = 0,
    max_iterations: int = 200,
    ftol: float = 1e-8,
    xtol: float = 1e-8,
    effort: int = 1,
    quick: bool = False,
) -> dict[str, Any]: ...
def fit_options() -> list[dict[str, Any]]: ...
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
