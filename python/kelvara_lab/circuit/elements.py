"""Your own elements: an impedance formula and its parameters, compiled and evaluated natively.

>>> hn = kl.element("HN", "R / (1 + (j*w*tau)**alpha)**beta",
...                 parameters={"R": ("ohm", 1.0, (0, inf)), "tau": ("s", 1e-3, (0, inf)),
...                             "alpha": ("", 0.9, (0, 1)), "beta": ("", 0.8, (0, 1))})
>>> kl.fit("R0-HN1-W2", data)

The formula is parsed by the engine's own expression language (never Python's ``eval``):
complex arithmetic, ``j``, ``w`` (rad/s), ``f`` (Hz), ``pi``, ``e``, the parameters,
``+ - * / **`` and ``sqrt exp log sinh cosh tanh coth sin cos tan``. It is evaluated in C++
without the interpreter lock, with its exact derivatives from the same pass for the solver.

A definition holds for the whole process, by code, and a later ``element`` with the same code
replaces it (circuits already fitted keep theirs). Work sent to other processes or Dask workers
carries the definitions its circuit uses (`used_by`), and the worker defines them before it fits
(`ensure`): nothing is asked of the user. Reports keep them too, so a report read back from JSON
defines what it needs.
"""

from __future__ import annotations

import html
import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from kelvara_lab import _engine


@dataclass(frozen=True)
class Parameter:
    """One parameter of a custom element: its unit, default, bounds and solver scale.

    ``log`` is True exactly where the upper bound is open: such a parameter is fitted as
    log10(p - lo), as kelvara fits its built-in elements' open-ended parameters.
    """

    name: str
    unit: str
    default: float
    bounds: tuple[float, float]
    log: bool


@dataclass(frozen=True)
class CustomElement:
    """A user-defined element: its notation code, formula and parameters."""

    code: str
    formula: str
    parameters: tuple[Parameter, ...]

    def to_dict(self) -> dict[str, Any]:
        """Plain data (JSON-safe apart from an infinite bound, which JSON writers spell)."""
        return {
            "code": self.code,
            "formula": self.formula,
            "parameters": [
                [p.name, p.unit, p.default, p.bounds[0], p.bounds[1], p.log]
                for p in self.parameters
            ],
        }

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> CustomElement:
        return cls(
            str(data["code"]),
            str(data["formula"]),
            tuple(
                Parameter(str(n), str(u), float(d), (float(lo), float(hi)), bool(log))
                for n, u, d, lo, hi, log in data["parameters"]
            ),
        )

    def impedance(self, frequencies: Any, **values: float) -> npt.NDArray[np.complex128]:
        """The element alone at `frequencies` (Hz), its parameters by name (defaults else)."""
        unknown = set(values) - {p.name for p in self.parameters}
        if unknown:
            raise ValueError(
                f"{self.code} has no parameter(s) {sorted(unknown)}; "
                f"its parameters are {[p.name for p in self.parameters]}"
            )
        vals = [float(values.get(p.name, p.default)) for p in self.parameters]
        return _engine.impedance(self.code + "1", vals, np.asarray(frequencies, dtype=float))

    def __str__(self) -> str:
        params = ", ".join(_parameter_text(p) for p in self.parameters)
        return f"{self.code}: Z = {self.formula}\n  parameters: {params}"

    def _repr_html_(self) -> str:
        rows = "".join(
            f"<tr><td>{html.escape(p.name)}</td><td>{html.escape(p.unit or '-')}</td>"
            f"<td>{p.default:g}</td><td>({p.bounds[0]:g}, {p.bounds[1]:g})</td>"
            f"<td>{'log' if p.log else 'linear'}</td></tr>"
            for p in self.parameters
        )
        return (
            f"<p><b>{html.escape(self.code)}</b>: Z = <code>{html.escape(self.formula)}</code></p>"
            "<table><tr><th>parameter</th><th>unit</th><th>default</th><th>bounds</th>"
            f"<th>scale</th></tr>{rows}</table>"
        )


def _parameter_text(p: Parameter) -> str:
    unit = f" [{p.unit}]" if p.unit else ""
    return f"{p.name}{unit} = {p.default:g} in ({p.bounds[0]:g}, {p.bounds[1]:g})"


def _parameter(name: str, declared: Any) -> Parameter:
    """(unit, default, (lo, hi)), the same with a log flag last, or a mapping of those keys."""
    if isinstance(declared, Mapping):
        unknown = set(declared) - {"unit", "default", "bounds", "log"}
        if unknown:
            raise ValueError(f"parameter {name!r}: unknown key(s) {sorted(unknown)}")
        unit, default, bounds = (
            declared.get("unit", ""),
            declared.get("default"),
            declared.get("bounds"),
        )
        log = declared.get("log")
    elif isinstance(declared, (tuple, list)) and len(declared) in (3, 4):
        unit, default, bounds = declared[0], declared[1], declared[2]
        log = declared[3] if len(declared) == 4 else None
    else:
        raise TypeError(
            f"parameter {name!r} needs (unit, default, (lo, hi)) or (unit, default, (lo, hi), "
            f"log), got {declared!r}"
        )
    if not isinstance(unit, str):
        raise TypeError(f"parameter {name!r}: unit must be a str, got {type(unit).__name__}")
    if default is None or bounds is None:
        raise ValueError(f"parameter {name!r} needs a default and bounds (lo, hi)")
    try:
        lo, hi = (float(b) for b in bounds)
        default = float(default)
    except (TypeError, ValueError):
        raise TypeError(
            f"parameter {name!r}: default must be a number and bounds a pair (lo, hi), "
            f"got {default!r} and {bounds!r}"
        ) from None
    if log is None:
        log = math.isinf(hi) and hi > 0
    if not isinstance(log, (bool, np.bool_)):
        raise TypeError(f"parameter {name!r}: log must be True or False, got {log!r}")
    return Parameter(name, unit, default, (lo, hi), bool(log))


def element(code: str, formula: str, parameters: Mapping[str, Any]) -> CustomElement:
    """Defines the element `code` (ASCII letters, not a built-in code) by its impedance
    `formula`, for every fit, plot and report in this process and its workers.

    `parameters` maps each name in the formula to ``(unit, default, (lo, hi))``, optionally
    with a fourth entry, the log flag (default: True exactly for an open upper bound, the
    only case the solver works on a log scale). A formula or definition that cannot be used
    raises ValueError with the position of the fault, as a notation error does.
    """
    if not isinstance(code, str) or not isinstance(formula, str):
        raise TypeError("code and formula must be str")
    if not isinstance(parameters, Mapping):
        raise TypeError(
            f"parameters must map names to (unit, default, (lo, hi)), got "
            f"{type(parameters).__name__}"
        )
    defined = CustomElement(
        code, formula, tuple(_parameter(str(n), s) for n, s in parameters.items())
    )
    _define(defined)
    return defined


def _define(definition: CustomElement) -> None:
    _engine.define_element(
        definition.code,
        definition.formula,
        [
            (p.name, p.unit, p.default, p.bounds[0], p.bounds[1], p.log)
            for p in definition.parameters
        ],
    )


def elements() -> tuple[CustomElement, ...]:
    """The custom elements defined in this process, by code."""
    return tuple(CustomElement.from_dict(d) for d in _engine.custom_elements())


def forget(code: str) -> bool:
    """Removes a definition; False where there was none."""
    return bool(_engine.forget_element(code))


def used_by(circuit: str) -> tuple[dict[str, Any], ...]:
    """The definitions `circuit` uses, as plain data (what travels to workers and reports)."""
    codes = set(_engine.describe(circuit)["custom"])
    return tuple(d for d in _engine.custom_elements() if d["code"] in codes)


def ensure(definitions: Iterable[Mapping[str, Any]]) -> None:
    """Defines each of `definitions` (plain data from `used_by`) unless this process already
    holds exactly that definition: what a worker runs before the work it was sent."""
    held = {d["code"]: d for d in _engine.custom_elements()}
    for data in definitions:
        wanted = CustomElement.from_dict(data)
        current = held.get(wanted.code)
        if current is None or CustomElement.from_dict(current) != wanted:
            _define(wanted)


# Frequencies (Hz) far outside any measurement, where an element's limits show.
_LOW, _HIGH = np.array([1e-9, 1e-8]), np.array([1e8, 1e9])
_FLAT = 0.1  # |d log|Z| / d log f| below this is a finite, non-zero limit


def limits(code: str) -> tuple[str, str] | None:
    """How the element `code` behaves at its defaults towards zero and infinite frequency:
    ("open" | "finite" | "short", "infinite" | "finite" | "zero") from the slope of log|Z|
    far outside any measurement; None where `code` is not defined or not finite there."""
    found = {d["code"]: d for d in _engine.custom_elements()}.get(code)
    if found is None:
        return None
    values = [p[2] for p in found["parameters"]]
    with np.errstate(divide="ignore", invalid="ignore"):
        low = np.log10(np.abs(_engine.impedance(code + "1", values, _LOW)))
        high = np.log10(np.abs(_engine.impedance(code + "1", values, _HIGH)))
    if not (np.isfinite(low).all() and np.isfinite(high).all()):
        return None
    slope_low, slope_high = low[1] - low[0], high[1] - high[0]
    dc = "open" if slope_low < -_FLAT else ("short" if slope_low > _FLAT else "finite")
    hf = "infinite" if slope_high > _FLAT else ("zero" if slope_high < -_FLAT else "finite")
    return dc, hf
