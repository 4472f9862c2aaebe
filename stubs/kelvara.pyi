"""Equivalent-circuit modelling and fitting for electrochemical impedance spectroscopy.

Type information for the compiled module; the module itself is C++.
"""

from collections.abc import Sequence
from typing import (
    Any,
    ClassVar,
    Literal,
    Protocol,
    Self,
    SupportsFloat,
    SupportsIndex,
    TypeAlias,
    final,
)

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

class _Frame(Protocol):
    """A table that answers ``frame[column_name]``: pandas, polars or a plain dict.

    Columns follow the Battery Data Format names ("Frequency / Hz",
    "Real Impedance / ohm", "Imaginary Impedance / ohm", or modulus and phase).
    """

    def __getitem__(self, key: str, /) -> Any: ...

_Number: TypeAlias = float | SupportsFloat | SupportsIndex
_Reals: TypeAlias = Sequence[_Number] | npt.NDArray[np.floating[Any]] | npt.NDArray[np.integer[Any]]
_Complexes: TypeAlias = (
    Sequence[complex | _Number]
    | npt.NDArray[np.complexfloating[Any, Any]]
    | npt.NDArray[np.floating[Any]]
    | npt.NDArray[np.integer[Any]]
)
_Weighting: TypeAlias = Literal["modulus", "unit"] | str
_Method: TypeAlias = (
    Literal[
        "levenberg_marquardt",
        "particle_swarm",
        "nelder_mead",
        "differential_evolution",
        "simulated_annealing",
        "basin_hopping",
    ]
    | str
)

@disjoint_base
class Element:
    """A single circuit element.

    These are Python subclasses taking its fields as arguments.
    They are combined with `Series()` and `Parallel()`.
    """

    R: ClassVar[type[_R]]
    C: ClassVar[type[_C]]
    L: ClassVar[type[_L]]
    La: ClassVar[type[_La]]
    Cpe: ClassVar[type[_Cpe]]
    W: ClassVar[type[_W]]
    Wo: ClassVar[type[_Wo]]
    Ws: ClassVar[type[_Ws]]
    G: ClassVar[type[_G]]
    Gs: ClassVar[type[_Gs]]
    K: ClassVar[type[_K]]
    Zarc: ClassVar[type[_Zarc]]
    Tlmq: ClassVar[type[_Tlmq]]
    T: ClassVar[type[_T]]

@final
class R(Element):
    """Element R(r); units ohm."""

    __match_args__ = ("r",)
    def __new__(cls, r: _Number) -> Self: ...
    @property
    def r(self) -> float: ...

@final
class C(Element):
    """Element C(c); units F."""

    __match_args__ = ("c",)
    def __new__(cls, c: _Number) -> Self: ...
    @property
    def c(self) -> float: ...

@final
class L(Element):
    """Element L(l); units H."""

    __match_args__ = ("l",)
    def __new__(cls, l: _Number) -> Self: ...
    @property
    def l(self) -> float: ...  # noqa: E743 (the inductance field is named l)

@final
class La(Element):
    """Element La(l, alpha); units H*s, -."""

    __match_args__ = ("l", "alpha")
    def __new__(cls, l: _Number, alpha: _Number) -> Self: ...
    @property
    def l(self) -> float: ...  # noqa: E743 (the inductance field is named l)
    @property
    def alpha(self) -> float: ...

@final
class Cpe(Element):
    """Element Cpe(q, alpha); units ohm^-1*s^alpha, -."""

    __match_args__ = ("q", "alpha")
    def __new__(cls, q: _Number, alpha: _Number) -> Self: ...
    @property
    def q(self) -> float: ...
    @property
    def alpha(self) -> float: ...

@final
class W(Element):
    """Element W(aw); units ohm*s^-0.5."""

    __match_args__ = ("aw",)
    def __new__(cls, aw: _Number) -> Self: ...
    @property
    def aw(self) -> float: ...

@final
class Wo(Element):
    """Element Wo(z0, tau); units ohm, s."""

    __match_args__ = ("z0", "tau")
    def __new__(cls, z0: _Number, tau: _Number) -> Self: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class Ws(Element):
    """Element Ws(z0, tau); units ohm, s."""

    __match_args__ = ("z0", "tau")
    def __new__(cls, z0: _Number, tau: _Number) -> Self: ...
    @property
    def z0(self) -> float: ...
    @property
    def tau(self) -> float: ...

@final
class G(Element):
    """Element G(rg, tg); units ohm, s."""

    __match_args__ = ("rg", "tg")
    def __new__(cls, rg: _Number, tg: _Number) -> Self: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...

@final
class Gs(Element):
    """Element Gs(rg, tg, phi); units ohm, s, -."""

    __match_args__ = ("rg", "tg", "phi")
    def __new__(cls, rg: _Number, tg: _Number, phi: _Number) -> Self: ...
    @property
    def rg(self) -> float: ...
    @property
    def tg(self) -> float: ...
    @property
    def phi(self) -> float: ...

@final
class K(Element):
    """Element K(r, tau_k); units ohm, s."""

    __match_args__ = ("r", "tau_k")
    def __new__(cls, r: _Number, tau_k: _Number) -> Self: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...

@final
class Zarc(Element):
    """Element Zarc(r, tau_k, gamma); units ohm, s, -."""

    __match_args__ = ("r", "tau_k", "gamma")
    def __new__(cls, r: _Number, tau_k: _Number, gamma: _Number) -> Self: ...
    @property
    def r(self) -> float: ...
    @property
    def tau_k(self) -> float: ...
    @property
    def gamma(self) -> float: ...

@final
class Tlmq(Element):
    """Element Tlmq(r_ion, qs, gamma); units ohm, F*s^(gamma-1), -."""

    __match_args__ = ("r_ion", "qs", "gamma")
    def __new__(cls, r_ion: _Number, qs: _Number, gamma: _Number) -> Self: ...
    @property
    def r_ion(self) -> float: ...
    @property
    def qs(self) -> float: ...
    @property
    def gamma(self) -> float: ...

@final
class T(Element):
    """Element T(a, b, k_tau, tau); units ohm*m^2, ohm*m^2, -, s."""

    __match_args__ = ("a", "b", "k_tau", "tau")
    def __new__(cls, a: _Number, b: _Number, k_tau: _Number, tau: _Number) -> Self: ...
    @property
    def a(self) -> float: ...
    @property
    def b(self) -> float: ...
    @property
    def k_tau(self) -> float: ...
    @property
    def tau(self) -> float: ...

_R: TypeAlias = R
_C: TypeAlias = C
_L: TypeAlias = L
_La: TypeAlias = La
_Cpe: TypeAlias = Cpe
_W: TypeAlias = W
_Wo: TypeAlias = Wo
_Ws: TypeAlias = Ws
_G: TypeAlias = G
_Gs: TypeAlias = Gs
_K: TypeAlias = K
_Zarc: TypeAlias = Zarc
_Tlmq: TypeAlias = Tlmq
_T: TypeAlias = T

@final
class Circuit:
    """An immutable equivalent circuit: topology, labels and parameter values."""

    def __new__(cls, s: str) -> Self: ...
    @staticmethod
    def ml_circuits() -> list[str]: ...
    def guess(
        self,
        frequencies: _Reals | _Frame,
        impedances: _Complexes | None = None,
        weights: str | None = None,
    ) -> list[float]: ...
    def param_names(self) -> list[str]: ...
    def with_values(self, values: Sequence[_Number] | npt.NDArray[np.floating[Any]]) -> Circuit: ...
    def with_named_values(self, values: dict[str, float]) -> Circuit: ...
    def impedance(self, frequencies: _Reals | _Frame) -> npt.NDArray[np.complex128]: ...
    def param_values(self) -> list[float]: ...
    def param_bounds(self) -> list[tuple[float, float]]: ...
    def param_units(self) -> list[str]: ...
    def residuals(
        self,
        params: Sequence[_Number] | npt.NDArray[np.floating[Any]],
        frequencies: _Reals | _Frame,
        impedances: _Complexes | None = None,
        weight: _Weighting = "modulus",
    ) -> list[float]: ...
    def jacobian(
        self,
        params: Sequence[_Number] | npt.NDArray[np.floating[Any]],
        frequencies: _Reals | _Frame,
        impedances: _Complexes | None = None,
        weight: _Weighting = "modulus",
    ) -> list[list[float]]: ...
    def fit(
        self,
        frequencies: _Reals | _Frame,
        impedances: _Complexes | None = None,
        guess_init: bool | np.bool_ | None = None,
        weights: str | None = None,
        weight: _Weighting = "modulus",
        method: _Method = "levenberg_marquardt",
        max_iterations: int = 200,
        ftol: float = 1e-8,
        xtol: float = 1e-8,
        num_particles: int = 200,
        generations: int = 1000,
        nelder_mead_iterations: int = 2000,
        de_evaluations: int = 20000,
        sa_iterations: int = 5000,
        sa_initial_temperature: float = 2.0,
        basin_hopping_hops: int = 20,
        basin_hopping_step_size: float = 1.0,
        basin_hopping_temperature: float = 1.0,
        seed: int | None = None,
    ) -> FitResult: ...

@final
class FitResult:
    """The outcome of `Circuit.fit()`; every read returns a fresh object."""

    @property
    def circuit(self) -> Circuit: ...
    @property
    def params(self) -> dict[str, float]: ...
    @property
    def stderr(self) -> dict[str, float] | None: ...
    @property
    def success(self) -> bool: ...
    @property
    def iterations(self) -> int: ...
    @property
    def impedance_evals(self) -> int: ...
    @property
    def cost(self) -> float: ...
    @property
    def chi_square(self) -> float: ...

def Series(parts: Sequence[Element | Circuit]) -> Circuit:
    """Connect elements and circuits end to end."""

def Parallel(parts: Sequence[Element | Circuit]) -> Circuit:
    """Connect elements and circuits as parallel branches."""
