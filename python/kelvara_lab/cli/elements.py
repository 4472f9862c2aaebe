"""Custom elements on the command line, defined before any command runs.

``--element NAME=FORMULA`` defines an element whose parameters are the names its formula uses,
each positive and open-ended (unit "", default 1, bounds (0, inf), fitted on a log scale).
``--elements FILE`` reads full definitions from TOML or JSON (by the file's suffix)::

    [HN]
    formula = "R / (1 + (j*w*tau)**alpha)**beta"
    R = ["ohm", 1.0, [0, "inf"]]
    tau = ["s", 1e-3, [0, "inf"]]
    alpha = ["", 0.9, [0, 1]]
    beta = ["", 0.8, [0, 1]]

JSON holds the same as an object of objects; "inf" and "-inf" stand for infinite bounds.
"""

from __future__ import annotations

import json
import math
import tomllib
from pathlib import Path
from typing import Any

import click


def _number(value: Any) -> Any:
    return float(value) if isinstance(value, str) and value.strip() in ("inf", "-inf") else value


def _spec(code: str, name: str, raw: Any) -> Any:
    if isinstance(raw, list) and len(raw) in (3, 4) and isinstance(raw[2], list):
        return [raw[0], raw[1], [_number(b) for b in raw[2]], *raw[3:]]
    raise click.BadParameter(
        f"{code}.{name} needs [unit, default, [lo, hi]] (and optionally a log flag), got {raw!r}",
        param_hint="--elements",
    )


def define_inline(text: str) -> None:
    """One ``NAME=FORMULA`` definition."""
    from kelvara_lab import _engine
    from kelvara_lab.circuit.elements import element

    code, sep, formula = text.partition("=")
    if not sep or not code.strip() or not formula.strip():
        raise click.BadParameter(f"expected NAME=FORMULA, got {text!r}", param_hint="--element")
    names = _engine.formula_names(formula)
    try:
        element(code.strip(), formula, {n: ("", 1.0, (0.0, math.inf)) for n in names})
    except ValueError as error:
        raise click.BadParameter(str(error), param_hint="--element") from None


def define_file(path: Path) -> None:
    """Every definition in a TOML or JSON file."""
    from kelvara_lab.circuit.elements import element

    try:
        text = path.read_text(encoding="utf-8")
        table = tomllib.loads(text) if path.suffix.lower() == ".toml" else json.loads(text)
    except (OSError, UnicodeDecodeError, ValueError) as error:
        raise click.BadParameter(f"{path}: {error}", param_hint="--elements") from None
    if not isinstance(table, dict):
        raise click.BadParameter(f"{path}: expected a table of elements", param_hint="--elements")
    for code, body in table.items():
        if not isinstance(body, dict) or not isinstance(body.get("formula"), str):
            raise click.BadParameter(
                f"{path}: element {code!r} needs a formula and its parameters",
                param_hint="--elements",
            )
        parameters = {n: _spec(code, n, v) for n, v in body.items() if n != "formula"}
        try:
            element(code, body["formula"], parameters)
        except (TypeError, ValueError) as error:
            raise click.BadParameter(f"{path}: {error}", param_hint="--elements") from None
