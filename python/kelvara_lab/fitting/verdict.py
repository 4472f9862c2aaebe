"""A verdict on a fit that says more than ``success``: is the misfit at the data's own noise
floor, does a parameter sit on a bound, and which parameters do the data not determine?

The floor is the Lin-KK test of the same spectrum: a Kramers-Kronig-compliant model flexible
enough to follow any valid spectrum, so its residuals are what measurement noise alone leaves.
Both levels are relative residuals, sqrt(sum |dZ / Z|^2 / dof), in percent of |Z|. A fit is at
the floor when its level is at most ``FLOOR_FACTOR`` times the floor's, or within
``ABSOLUTE_SLACK`` percent of it (noise-free data have a floor near zero).
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

FLOOR_FACTOR = 1.5
ABSOLUTE_SLACK = 0.05  # percent of |Z|
UNDETERMINED_RELATIVE_ERROR = 1.0  # a standard error above 100 % of the value


@dataclass(frozen=True)
class Verdict:
    """Whether a fit can be trusted, and why not when it cannot."""

    passed: bool
    #: the fit's residual level and the Lin-KK floor, percent of |Z|
    level: float
    floor: float
    at_floor: bool
    at_bound: tuple[str, ...]
    undetermined: tuple[str, ...]

    def __str__(self) -> str:
        if self.passed:
            return f"pass (residuals {self.level:.3g} % of |Z|, noise floor {self.floor:.3g} %)"
        reasons = []
        if not self.at_floor:
            reasons.append(
                f"residuals {self.level:.3g} % of |Z| above the noise floor {self.floor:.3g} %"
            )
        if self.at_bound:
            reasons.append("at a bound: " + ", ".join(self.at_bound))
        if self.undetermined:
            reasons.append("not determined by the data: " + ", ".join(self.undetermined))
        return "FAIL: " + "; ".join(reasons)

    def to_dict(self) -> dict[str, Any]:
        return {
            "passed": self.passed,
            "level": self.level if math.isfinite(self.level) else None,
            "floor": self.floor if math.isfinite(self.floor) else None,
            "at_floor": self.at_floor,
            "at_bound": list(self.at_bound),
            "undetermined": list(self.undetermined),
        }

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> Verdict:
        def number(v: Any) -> float:
            return math.nan if v is None else float(v)

        return cls(
            passed=bool(data["passed"]),
            level=number(data["level"]),
            floor=number(data["floor"]),
            at_floor=bool(data["at_floor"]),
            at_bound=tuple(data["at_bound"]),
            undetermined=tuple(data["undetermined"]),
        )


def relative_level(
    residuals: npt.NDArray[np.complex128], z: npt.NDArray[np.complex128], dof: int
) -> float:
    """sqrt(sum |dZ / Z|^2 / dof) in percent."""
    if dof <= 0:
        return math.nan
    with np.errstate(divide="ignore", invalid="ignore"):
        rel = residuals / np.abs(z)
    return 100.0 * math.sqrt(float(np.sum(rel.real**2 + rel.imag**2)) / dof)


def noise_floor(frequencies: Any, impedances: Any) -> float:
    """The Lin-KK residual level of a spectrum, percent of |Z|; NaN when the test fails."""
    from kelvara_lab.validity.kk import kk_test

    try:
        kk = kk_test(frequencies, impedances)
    except ValueError:
        return math.nan
    rel = kk.residuals_real + 1j * kk.residuals_imag
    # R0 and the M resistances (and the optional L and C; no C is an infinite one) are the
    # test's parameters.
    used = kk.num_rc + 1 + int(kk.inductance != 0) + int(math.isfinite(kk.capacitance))
    return relative_level(rel * np.abs(kk.impedances), kk.impedances, 2 * len(rel) - used)


def judge(
    names: tuple[str, ...],
    values: tuple[float, ...],
    stderr: tuple[float, ...],
    fixed: tuple[str, ...],
    bounds: tuple[tuple[float, float], ...],
    catalogue: list[tuple[float, float]],
    residuals: npt.NDArray[np.complex128],
    impedances: npt.NDArray[np.complex128],
    floor: float,
) -> Verdict:
    """The verdict on fitted `values`, given the residuals (model - data) and the floor."""
    free = [name not in fixed for name in names]
    level = relative_level(residuals, impedances, 2 * len(impedances) - sum(free))
    at_floor = math.isfinite(level) and (
        not math.isfinite(floor) or level <= max(FLOOR_FACTOR * floor, floor + ABSOLUTE_SLACK)
    )
    at_bound = []
    undetermined = []
    for name, value, error, (lo, hi), (cat_lo, _), is_free in zip(
        names, values, stderr, bounds, catalogue, free, strict=True
    ):
        if not is_free:
            continue
        # The catalogue's floor of an open-ended value (1e-12) is a collapse, not a choice.
        low = lo if lo > cat_lo else cat_lo * 10
        if value <= low or (math.isfinite(hi) and value >= hi):
            at_bound.append(name)
        elif not (math.isfinite(error) and abs(error) <= UNDETERMINED_RELATIVE_ERROR * abs(value)):
            undetermined.append(name)
    return Verdict(
        passed=at_floor and not at_bound and not undetermined,
        level=level,
        floor=floor,
        at_floor=at_floor,
        at_bound=tuple(at_bound),
        undetermined=tuple(undetermined),
    )
