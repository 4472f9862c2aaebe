"""Numbers in JSON records: JSON has no NaN or infinities, so they are spelled as strings that
any reader can parse, and read back exactly."""

from __future__ import annotations

import math

_NON_FINITE = {"NaN": math.nan, "Infinity": math.inf, "-Infinity": -math.inf}


def encode(value: float) -> float | str:
    """`value` as JSON can hold it."""
    if math.isfinite(value):
        return value
    return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")


def decode(value: float | str | int) -> float:
    """The number `encode` wrote; anything else (true, a list, "1.5") is a ValueError."""
    if isinstance(value, str) and value in _NON_FINITE:
        return _NON_FINITE[value]
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{value!r} is not a number")
    return float(value)
