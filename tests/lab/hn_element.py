"""The Havriliak-Negami relaxation, defined by its formula: the custom element the tests use."""

import math

from kelvara_lab.circuit import elements

INF = math.inf
HN_FORMULA = "R / (1 + (j*w*tau)**alpha)**beta"
HN = {
    "R": ("ohm", 1.0, (0, INF)),
    "tau": ("s", 1e-3, (0, INF)),
    "alpha": ("", 0.9, (0, 1)),
    "beta": ("", 0.8, (0, 1)),
}


def define_hn() -> elements.CustomElement:
    return elements.element("HN", HN_FORMULA, HN)


def forget_all() -> None:
    for element in elements.elements():
        elements.forget(element.code)
