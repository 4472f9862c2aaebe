"""A circuit drawn as a schematic with schemdraw: series items left to right, parallel
branches stacked between two rails, every element labelled as the notation names it."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from kelvara_lab.circuit.notation import Element, Parallel, Series, read

if TYPE_CHECKING:
    from matplotlib.figure import Figure

# Drawing units: an element's length, a row's height, and the lead at each side of a group.
LENGTH = 2.0
ROW = 1.8
LEAD = 0.5


def _width(part: Series | Parallel | Element) -> float:
    if isinstance(part, Element):
        return LENGTH
    if isinstance(part, Parallel):
        return max(_width(b) for b in part.branches) + 2 * LEAD
    return sum(_width(item) for item in part.items)


def _rows(part: Series | Parallel | Element) -> float:
    if isinstance(part, Element):
        return 1.0
    if isinstance(part, Parallel):
        return sum(_rows(b) for b in part.branches)
    return max((_rows(item) for item in part.items), default=1.0)


def _symbol(kind: str) -> Any:
    """The schemdraw element of a kind: the usual symbol where there is one, a labelled box
    for the distributed elements."""
    import schemdraw.elements as elm

    return {"R": elm.Resistor, "C": elm.Capacitor, "L": elm.Inductor2, "Cpe": elm.CPE}.get(
        kind, elm.RBox
    )()


def _draw(drawing: Any, part: Series | Parallel | Element, x: float, y: float) -> float:
    """Draw `part` with its left terminal at (x, y); returns the right terminal's x."""
    import schemdraw.elements as elm

    if isinstance(part, Element):
        drawing.add(_symbol(part.kind).at((x, y)).to((x + LENGTH, y)).label(part.label))
        return x + LENGTH
    if isinstance(part, Series):
        for item in part.items:
            x = _draw(drawing, item, x, y)
        return x
    inner = max(_width(b) for b in part.branches)
    right = x + inner + 2 * LEAD
    row = y
    for branch in part.branches:
        end = _draw(drawing, branch, x + LEAD, row)
        drawing.add(elm.Line().at((x, row)).to((x + LEAD, row)))
        drawing.add(elm.Line().at((end, row)).to((right, row)))
        last = row
        row -= _rows(branch) * ROW
    drawing.add(elm.Line().at((x, y)).to((x, last)))
    drawing.add(elm.Line().at((right, y)).to((right, last)))
    return right


def circuit(notation: str) -> Figure:
    """The schematic of `notation` (or a registry name) as a matplotlib Figure."""
    import matplotlib.pyplot as plt
    import schemdraw
    import schemdraw.elements as elm

    tree = read(notation)
    figure, ax = plt.subplots(
        figsize=(max(3.0, 0.75 * _width(tree) + 1), max(1.6, 0.75 * _rows(tree) * ROW + 0.6))
    )
    drawing = schemdraw.Drawing(canvas=ax, show=False)
    drawing.config(fontsize=11)
    drawing.add(elm.Dot(open=True).at((0, 0)))
    end = _draw(drawing, tree, 0.0, 0.0)
    drawing.add(elm.Dot(open=True).at((end, 0)))
    drawing.draw(show=False)
    low, high = ax.get_ylim()
    ax.set_ylim(low - 0.3, high + 0.7)  # room for the labels above the top row
    ax.set_axis_off()
    figure.subplots_adjust(left=0.02, right=0.98, bottom=0.02, top=0.98)
    return figure
