"""The companion's one notation reader: kelvara's own parser, through the engine, so that what
kelvara accepts is what the companion reads, with the same errors and carets.

A circuit reads as a `Series` of items, each an `Element` (its kind as the catalogue names it,
"Cpe" for CPE, and its label as written) or a `Parallel` group of branches, each a `Series`.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from kelvara_lab import _engine

# The reference circuits by key, as kelvara builds them.
REGISTRY: dict[str, str] = _engine.registry()


@dataclass(frozen=True)
class Element:
    kind: str
    label: str


@dataclass(frozen=True)
class Parallel:
    branches: tuple[Series, ...]


@dataclass(frozen=True)
class Series:
    items: tuple[Element | Parallel, ...]


def notation_of(circuit: str) -> str:
    """The notation of a registry name (any case, trimmed), or the text itself."""
    return REGISTRY.get(circuit.strip().lower(), circuit)


def _series(raw: list[Any]) -> Series:
    return Series(
        tuple(
            Element(*item) if isinstance(item, tuple) else Parallel(tuple(map(_series, item)))
            for item in raw
        )
    )


def read(circuit: str) -> Series:
    """The parsed circuit (notation or a registry name); ValueError with kelvara's report,
    caret and all, when it is not valid notation."""
    return _series(_engine.structure(circuit))


def text(part: Series | Parallel | Element) -> str:
    """Notation for a part of a read circuit."""
    if isinstance(part, Element):
        return part.label
    if isinstance(part, Parallel):
        return "(" + ",".join(map(text, part.branches)) + ")"
    return "-".join(map(text, part.items))


def split_list(text: str) -> list[str]:
    """Circuits listed in one text at its top-level commas: "rq,R0-(R1,CPE1)" is two
    circuits, not three. Each is read later, by `read`; here only the commas that sit outside
    every parenthesis separate."""
    out, depth, start = [], 0, 0
    for i, char in enumerate(text):
        depth += {"(": 1, ")": -1}.get(char, 0)
        if char == "," and depth == 0:
            out.append(text[start:i])
            start = i + 1
    out.append(text[start:])
    return [name.strip() for name in out if name.strip()]
