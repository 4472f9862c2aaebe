"""What a user passes to a fit, checked before any work: held values, boxes and start values
by parameter name, with the nearest name suggested for a typo."""

from __future__ import annotations

import difflib
import math
from collections.abc import Mapping, Sequence

from kelvara_lab.circuit.model import CircuitModel


def _name_error(kind: str, name: str, names: list[str]) -> ValueError:
    close = difflib.get_close_matches(name, names, n=1)
    hint = f" (did you mean {close[0]!r}?)" if close else ""
    return ValueError(f"{kind}: unknown parameter {name!r}{hint}; parameters are {names}")


def parameter_boxes(
    circuit: CircuitModel,
    fixed: Mapping[str, float],
    bounds: Mapping[str, tuple[float, float]],
) -> tuple[list[tuple[float, float]], dict[str, float]]:
    """Effective (lo, hi) per parameter and the fixed values, both checked.

    User bounds narrow the catalogue box (the part outside it is dropped, since the model
    is not defined there); a box of zero width fixes the parameter.
    """
    names = circuit.param_names()
    catalogue = circuit.param_bounds()
    held = {}
    for name, value in fixed.items():
        if name not in names:
            raise _name_error("fixed", name, names)
        lo, hi = catalogue[names.index(name)]
        value = float(value)
        if not (lo <= value <= hi):
            raise ValueError(f"fixed: {name} = {value} lies outside its valid range [{lo}, {hi}]")
        held[name] = value
    box = list(catalogue)
    for name, pair in bounds.items():
        if name not in names:
            raise _name_error("bounds", name, names)
        if name in held:
            raise ValueError(f"{name} is both fixed and bounded")
        try:
            user_lo, user_hi = (float(v) for v in pair)
        except (TypeError, ValueError):
            raise ValueError(f"bounds: {name} needs a pair (lo, hi), got {pair!r}") from None
        if math.isnan(user_lo) or math.isnan(user_hi) or user_lo > user_hi:
            raise ValueError(f"bounds: {name} has an empty range ({user_lo}, {user_hi})")
        i = names.index(name)
        lo, hi = max(catalogue[i][0], user_lo), min(catalogue[i][1], user_hi)
        if lo > hi:
            raise ValueError(
                f"bounds: {name} ({user_lo}, {user_hi}) does not meet its valid range "
                f"[{catalogue[i][0]}, {catalogue[i][1]}]"
            )
        if lo == hi:
            held[name] = lo
        box[i] = (lo, hi)
    return box, held


def start_values(
    circuit: CircuitModel, start: Mapping[str, float] | Sequence[float] | None
) -> dict[str, float]:
    """The user's start values by name, checked: a mapping of names or one value per parameter."""
    if start is None:
        return {}
    names = circuit.param_names()
    if isinstance(start, Mapping):
        out = {}
        for name, value in start.items():
            if name not in names:
                raise _name_error("start", name, names)
            out[name] = float(value)
    else:
        values = [float(v) for v in start]
        if len(values) != len(names):
            raise ValueError(f"start: {len(names)} values needed ({names}), got {len(values)}")
        out = dict(zip(names, values, strict=True))
    for name, value in out.items():
        if not math.isfinite(value):
            raise ValueError(f"start: {name} must be finite, got {value}")
    return out
