"""A circuit's impedance as a SymPy expression in the angular frequency, and as LaTeX: for a
paper's methods section, or to check a model by hand. kelvara evaluates circuits; this is
only their algebra, written as the element catalogue defines each kind."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from kelvara_lab.circuit.notation import Element, Parallel, Series, read

if TYPE_CHECKING:
    import sympy

# Each kind's fields, in the catalogue's order, and its impedance from them and s = j*omega.
Formula = Callable[..., Any]


def _formulas() -> dict[str, tuple[tuple[str, ...], Formula]]:
    import sympy as sp

    def sqrt_omega(s: Any) -> Any:
        return sp.sqrt(s / sp.I)  # the real sqrt(omega), as W defines it

    return {
        "R": (("r",), lambda s, r: r),
        "C": (("c",), lambda s, c: 1 / (s * c)),
        "L": (("l",), lambda s, l: s * l),  # noqa: E741 - the field's own name
        "La": (("l", "alpha"), lambda s, l, a: (s * l) ** a),  # noqa: E741
        "Cpe": (("q", "alpha"), lambda s, q, a: 1 / (q * s**a)),
        "W": (("aw",), lambda s, aw: aw * (1 - sp.I) / sqrt_omega(s)),
        "Wo": (("z0", "tau"), lambda s, z0, t: z0 / (sp.sqrt(s * t) * sp.tanh(sp.sqrt(s * t)))),
        "Ws": (("z0", "tau"), lambda s, z0, t: z0 * sp.tanh(sp.sqrt(s * t)) / sp.sqrt(s * t)),
        "G": (("rg", "tg"), lambda s, rg, tg: rg / sp.sqrt(1 + s * tg)),
        "Gs": (
            ("rg", "tg", "phi"),
            lambda s, rg, tg, phi: rg / (sp.sqrt(1 + s * tg) * sp.tanh(phi * sp.sqrt(1 + s * tg))),
        ),
        "K": (("r", "tau_k"), lambda s, r, t: r / (1 + s * t)),
        "Zarc": (("r", "tau_k", "gamma"), lambda s, r, t, g: r / (1 + (s * t) ** g)),
        "Tlmq": (
            ("r_ion", "qs", "gamma"),
            lambda s, r, q, g: sp.sqrt(r / (q * s**g)) / sp.tanh(sp.sqrt(r * q * s**g)),
        ),
        "T": (
            ("a", "b", "k_tau", "tau"),
            lambda s, a, b, k, t: (
                a / (sp.sqrt(k + s * t) * sp.tanh(sp.sqrt(k + s * t)))
                + b / (sp.sqrt(k + s * t) * sp.sinh(sp.sqrt(k + s * t)))
            ),
        ),
    }


def symbol_name(label: str, field: str) -> str:
    """The symbol of a parameter: the field with the element's label as subscript
    (``R0.r`` -> ``r_R0``, ``CPE1.alpha`` -> ``alpha_CPE1``)."""
    return f"{field}_{label}"


def expression(circuit: str) -> sympy.Expr:
    """The impedance of `circuit` (notation or a registry name) as a SymPy expression in
    ``omega`` (rad/s), one positive symbol per parameter (see `symbol_name`).
    ``expr.subs(...)`` with values and ``sympy.lambdify`` give numbers."""
    import sympy as sp

    formulas = _formulas()
    s = sp.I * sp.Symbol("omega", positive=True)

    def of(part: Series | Parallel | Element) -> Any:
        if isinstance(part, Element):
            if part.kind not in formulas:
                raise ValueError(
                    f"{part.label}: {part.kind!r} is your own element; its formula is "
                    "kelvara's expression language, which has no SymPy form here"
                )
            fields, formula = formulas[part.kind]
            symbols = [sp.Symbol(symbol_name(part.label, f), positive=True) for f in fields]
            return formula(s, *symbols)
        if isinstance(part, Parallel):
            return 1 / sp.Add(*(1 / of(branch) for branch in part.branches))
        return sp.Add(*(of(item) for item in part.items))

    return of(read(circuit))


def latex(circuit: str) -> str:
    """``Z(\\omega) = ...`` for `circuit`, in LaTeX."""
    import sympy as sp

    return f"Z(\\omega) = {sp.latex(expression(circuit))}"
