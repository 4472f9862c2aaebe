"""Candidate circuits for identification: a grammar of series and parallel combinations, in a
canonical form so that circuits with the same impedance are fitted once.

A circuit is a tree whose leaves are element kinds and whose inner nodes join their children in
series or in parallel. The canonical form flattens nested series (and nested parallels), drops
single-branch groups, writes K as (R,C) and Zarc as (R,CPE), merges leaves whose combination is
one element of the same kind (R-R, C-C, L-L, W-W in series; R,R C,C L,L W,W in parallel) and
sorts the children, so that commuted circuits have one text.

Two further equivalences need the impedance itself. The impedance of a network of resistors and
capacitors only (or resistors and inductors only) is a rational function N(s)/D(s), and every
rational function of that class with the same degrees and the same zeros at s = 0 is realised by
any network of the class with as many elements as the function has free coefficients
(degN + degD + 1, less one for each of N(0) = 0 and D(0) = 0): Foster and Cauer forms, or
R0-(R1,C1) and (R1,R2-C1), are the same model. So each such group of a node's children is keyed by
those degrees, and a group with more elements than free coefficients is redundant: some of its
parameters can never be told apart from the data (R0-(R1,R2-C1) is R0-(R1,C1)). The degrees are
read from the network's function at generic rational element values, reduced exactly.
"""

from __future__ import annotations

import functools
import random
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from fractions import Fraction

from kelvara_lab.circuit.notation import Element, Parallel, Series, read

# The element kinds identify builds its candidates from by default.
ELEMENTS = ("R", "C", "CPE", "L", "W", "Wo")
SERIES = "-"
PARALLEL = ","
# Leaves first in a series (L-R-(...)), composite branches first in a parallel ((R-W,C)), each in
# this kind order; the order only decides how a circuit is written.
KIND_ORDER = ("L", "R", "C", "CPE", "W", "Wo", "La", "Ws", "G", "Gs", "Tlmq", "T")
# Kinds whose series (and whose parallel) combination is one element of the same kind.
MERGING = frozenset({"R", "C", "L", "W"})
# The spellings the notation accepts for a kind, mapped to the one used here.
SPELLINGS = {"Cpe": "CPE", "TLMQ": "Tlmq"}
# Abbreviations the canonical form writes out: K is (R,C), Zarc is (R,CPE).
EXPANSIONS = {"K": ("R", "C"), "Zarc": ("R", "CPE")}
CAPACITIVE = frozenset({"C", "CPE"})
DIFFUSION = frozenset({"W", "Wo", "Ws"})


@dataclass(frozen=True)
class Node:
    """A leaf (``op`` is the element kind) or a series/parallel node over its children."""

    op: str
    children: tuple[Node, ...] = ()
    text: str = field(default="", compare=False)
    size: int = field(default=1, compare=False)

    @property
    def is_leaf(self) -> bool:
        return not self.children

    def leaves(self) -> Iterator[str]:
        if self.is_leaf:
            yield self.op
        for child in self.children:
            yield from child.leaves()

    def depth(self) -> int:
        return 0 if self.is_leaf else 1 + max(child.depth() for child in self.children)


def leaf(kind: str) -> Node:
    kind = SPELLINGS.get(kind, kind)
    return Node(kind, (), kind, 1)


def _rank(kind: str) -> int:
    return KIND_ORDER.index(kind) if kind in KIND_ORDER else len(KIND_ORDER)


def _order(op: str, child: Node) -> tuple[int, int, str]:
    composite_first = op == PARALLEL
    group = (0 if not child.is_leaf else 1) if composite_first else (1 if not child.is_leaf else 0)
    return (group, _rank(child.op) if child.is_leaf else 0, child.text)


def join(op: str, children: Iterable[Node]) -> Node:
    """The canonical node joining `children` by `op`: flattened, merged and sorted."""
    flat: list[Node] = []
    for child in children:
        flat.extend(child.children if child.op == op else (child,))
    seen: set[str] = set()
    merged = []
    for child in flat:
        if child.is_leaf and child.op in MERGING:
            if child.op in seen:
                continue
            seen.add(child.op)
        merged.append(child)
    if len(merged) == 1:
        return merged[0]
    merged.sort(key=lambda c: _order(op, c))
    text = op.join(c.text for c in merged)
    return Node(
        op, tuple(merged), f"({text})" if op == PARALLEL else text, sum(c.size for c in merged)
    )


def notation(node: Node) -> str:
    """Valid kelvara notation: each kind numbered from 0 in reading order."""
    counters: dict[str, int] = {}

    def write(n: Node) -> str:
        if n.is_leaf:
            index = counters.get(n.op, 0)
            counters[n.op] = index + 1
            return f"{n.op}{index}"
        parts = [write(c) for c in n.children]
        return "(" + ",".join(parts) + ")" if n.op == PARALLEL else "-".join(parts)

    return write(node)


def parse(text: str) -> Node:
    """The canonical tree of a circuit (notation or a registry name; labels dropped), read by
    kelvara's parser; raises its ValueError when malformed."""

    def series(part: Series) -> Node:
        return join(SERIES, (item(i) for i in part.items))

    def item(part: Element | Parallel) -> Node:
        if isinstance(part, Parallel):
            return join(PARALLEL, (series(b) for b in part.branches))
        if part.kind in EXPANSIONS:
            return join(PARALLEL, (leaf(k) for k in EXPANSIONS[part.kind]))
        return leaf(part.kind)

    return series(read(text))


# --- the impedance-equivalence key -------------------------------------------------------------

Poly = tuple[Fraction, ...]  # coefficients, lowest power first


def _trim(p: list[Fraction]) -> list[Fraction]:
    while len(p) > 1 and p[-1] == 0:
        p.pop()
    return p


def _add(a: Poly, b: Poly) -> Poly:
    n = max(len(a), len(b))
    out = [
        (a[i] if i < len(a) else Fraction(0)) + (b[i] if i < len(b) else Fraction(0))
        for i in range(n)
    ]
    return tuple(_trim(out))


def _mul(a: Poly, b: Poly) -> Poly:
    out = [Fraction(0)] * (len(a) + len(b) - 1)
    for i, x in enumerate(a):
        for j, y in enumerate(b):
            out[i + j] += x * y
    return tuple(_trim(out))


def _mod(a: Poly, b: Poly) -> Poly:
    rest = list(a)
    while len(rest) >= len(b) and any(rest):
        factor = rest[-1] / b[-1]
        shift = len(rest) - len(b)
        for i, y in enumerate(b):
            rest[shift + i] -= factor * y
        rest.pop()
        if not rest:
            rest = [Fraction(0)]
    return tuple(_trim(rest))


def _gcd(a: Poly, b: Poly) -> Poly:
    while any(b):
        a, b = b, _mod(a, b)
    return a


def _div(a: Poly, b: Poly) -> Poly:
    """Exact quotient a / b (b divides a)."""
    rest = list(a)
    out = [Fraction(0)] * max(1, len(a) - len(b) + 1)
    while len(rest) >= len(b) and any(rest):
        factor = rest[-1] / b[-1]
        shift = len(rest) - len(b)
        out[shift] = factor
        for i, y in enumerate(b):
            rest[shift + i] -= factor * y
        rest.pop()
    return tuple(_trim(out))


def _function(node: Node, values: Iterator[Fraction]) -> tuple[Poly, Poly]:
    """N(s), D(s) of an R/C/L network at the given element values (not reduced)."""
    if node.is_leaf:
        v = next(values)
        one, zero = Fraction(1), Fraction(0)
        if node.op == "R":
            return (v,), (one,)
        if node.op == "C":
            return (one,), (zero, v)
        return (zero, v), (one,)  # L
    n, d = _function(node.children[0], values)
    for child in node.children[1:]:
        n2, d2 = _function(child, values)
        cross = _add(_mul(n, d2), _mul(n2, d))
        n, d = (cross, _mul(d, d2)) if node.op == SERIES else (_mul(n, n2), cross)
    return n, d


@functools.cache
def rational_signature(node: Node) -> tuple[tuple[int, int, bool, bool], int]:
    """(degN, degD, N(0) = 0, D(0) = 0) of an R/C/L network's reduced impedance, and the number
    of free coefficients of such a function."""
    rng = random.Random(20240611)
    values = iter([Fraction(rng.randint(2, 997), rng.randint(2, 997)) for _ in range(node.size)])
    n, d = _function(node, values)
    common = _gcd(n, d)
    n, d = _div(n, common), _div(d, common)
    shape = (len(n) - 1, len(d) - 1, n[0] == 0, d[0] == 0)
    return shape, shape[0] + shape[1] + 1 - int(shape[2]) - int(shape[3])


def _family(node: Node) -> str | None:
    kinds = set(node.leaves())
    if kinds <= {"R"}:
        return "R"
    if kinds <= {"R", "C"}:
        return "RC"
    if kinds <= {"R", "L"}:
        return "RL"
    return None


class Redundant(Exception):
    """A group of ideal elements has more parameters than its impedance has coefficients."""


def _key(node: Node) -> str:
    if node.is_leaf:
        return node.op
    groups: dict[str, list[Node]] = {}
    others: list[str] = []
    for child in node.children:
        family = _family(child)
        if family is None:
            others.append(_key(child))
        else:
            groups.setdefault(family, []).append(child)
    if "R" in groups:  # lone resistors join a reactive group, else stand alone
        target = "RC" if "RC" in groups else ("RL" if "RL" in groups else "R")
        if target != "R":
            groups[target].extend(groups.pop("R"))
    parts = list(others)
    for family, members in groups.items():
        group = join(node.op, members)
        shape, free = rational_signature(group)
        if group.size > free:
            raise Redundant(group.text)
        parts.append(group.text if group.is_leaf else f"{family}{list(shape)}")
    parts.sort()
    name = "series" if node.op == SERIES else "parallel"
    return f"{name}[{'; '.join(parts)}]" if len(parts) > 1 else parts[0]


def equivalence_key(node: Node) -> str | None:
    """A text equal for circuits of the same impedance family; None for a redundant circuit."""
    try:
        return _key(node)
    except Redundant:
        return None


# --- the grammar -----------------------------------------------------------------------------


def _multisets(pool: list[Node], total: int, parts: int, start: int = 0) -> Iterator[list[Node]]:
    """Multisets of at least two and at most `parts` trees from `pool` (ascending by size) whose
    sizes sum to `total`, each listed once."""
    if total == 0:
        yield []
        return
    if parts == 0:
        return
    for i in range(start, len(pool)):
        item = pool[i]
        if item.size > total:
            break
        if item.size == total and start == 0:
            continue  # a single part is not a join
        # A merging leaf appears once: its pair is one element of the same kind.
        nxt = i + 1 if item.is_leaf and item.op in MERGING else i
        for rest in _multisets(pool, total - item.size, parts - 1, nxt):
            yield [item, *rest]


def plausible(tree: Node) -> bool:
    """The grammar's own limits, true of every subtree of a plausible tree:

    - at most one inductor and one diffusion element;
    - no two capacitive elements (C, CPE) side by side in one series or parallel node: C-C and
      C,C are one capacitor, and C or CPE beside a CPE is one CPE in practice, the two never
      told apart;
    - a capacitive element inside a parallel group is a branch of its own (a double layer or a
      geometric capacitance), not in series with other elements: for capacitors such a branch
      is another realisation of a series of R-C groups (Foster's second form of the first), and
      with a CPE it is the same in all but the exponent's detail;
    - parallel nodes have two branches (by construction).
    """
    kinds = list(tree.leaves())
    if kinds.count("L") > 1 or sum(k in DIFFUSION for k in kinds) > 1:
        return False
    if sum(c.is_leaf and c.op in CAPACITIVE for c in tree.children) > 1:
        return False
    if tree.op == PARALLEL:
        return not any(
            branch.op == SERIES and any(c.is_leaf and c.op in CAPACITIVE for c in branch.children)
            for branch in tree.children
        )
    return True


@functools.lru_cache(maxsize=8)
def generate(elements: tuple[str, ...], max_elements: int) -> tuple[Node, ...]:
    """Every plausible canonical tree of up to `max_elements` leaves from `elements`, each once,
    smallest first."""
    kinds = sorted({SPELLINGS.get(k, k) for k in elements}, key=_rank)
    by_size: dict[int, list[Node]] = {1: [leaf(k) for k in kinds]}
    for n in range(2, max_elements + 1):
        found: dict[str, Node] = {}
        for op, parts in ((SERIES, n), (PARALLEL, 2)):
            pool = [t for m in range(1, n) for t in by_size[m] if t.op != op]
            for group in _multisets(pool, n, parts):
                tree = join(op, group)
                if tree.size == n and tree.op == op and plausible(tree):
                    found.setdefault(tree.text, tree)
        by_size[n] = sorted(found.values(), key=lambda t: t.text)
    return tuple(t for n in range(1, max_elements + 1) for t in by_size[n])


def distinct(trees: Iterable[Node]) -> tuple[list[Node], int]:
    """One tree per impedance family (the shallowest, then the first by text), and how many
    were dropped as redundant."""
    chosen: dict[str, Node] = {}
    redundant = 0
    for tree in trees:
        key = equivalence_key(tree)
        if key is None:
            redundant += 1
            continue
        best = chosen.get(key)
        if best is None or (tree.depth(), tree.text) < (best.depth(), best.text):
            chosen[key] = tree
    return sorted(chosen.values(), key=lambda t: (t.size, t.text)), redundant
