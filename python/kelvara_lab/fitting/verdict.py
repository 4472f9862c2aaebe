"""A graded verdict on a fit: ``"pass"``, ``"warn"`` or ``"fail"``, with its reasons as
findings a person can read (``kelvara_lab.fitting.grading`` makes them).

Three questions, and the things no one can know from the data said as such:

- convergence: is this the best minimum the search can find?
- adequacy: are the residuals at the spectrum's own noise floor, and are they random?
- identifiability: do the data determine every parameter, or does an element simplify?

The floor is the Lin-KK test of the same spectrum: a Kramers-Kronig-compliant model flexible
enough to follow any valid spectrum, so its residuals are what measurement noise alone leaves.
The thresholds live in ``calibration.toml``.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np

from kelvara_lab.fitting.residuals import relative_level

Status = Literal["pass", "warn", "fail"]
STATUSES: tuple[Status, ...] = ("pass", "warn", "fail")
# In the order a verdict lists findings of one grade: what the data allow, how well the
# circuit follows them, what its parameters mean, how sure the search is.
KINDS = ("data", "adequacy", "identifiability", "convergence")


def worst(grades: list[Status]) -> Status:
    return max(grades, key=STATUSES.index, default="pass")


@dataclass(frozen=True)
class VerdictFinding:
    """One reason of a verdict: what it is about (``kind``, one of ``KINDS``), how bad
    (``grade``), a stable ``code``, one line for a person, and the parameter, frequency band
    (Hz) or figure it rests on."""

    kind: str
    grade: Status
    code: str
    message: str
    parameter: str | None = None
    band: tuple[float, float] | None = None
    figure: float | None = None

    def __str__(self) -> str:
        return f"{self.grade}: {self.message}"

    def to_dict(self) -> dict[str, Any]:
        return {
            "kind": self.kind,
            "grade": self.grade,
            "code": self.code,
            "message": self.message,
            "parameter": self.parameter,
            "band": None if self.band is None else list(self.band),
            "figure": self.figure if self.figure is None or math.isfinite(self.figure) else None,
        }

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> VerdictFinding:
        band = data.get("band")
        figure = data.get("figure")
        return cls(
            kind=str(data["kind"]),
            grade=data["grade"] if data.get("grade") in STATUSES else "warn",
            code=str(data.get("code", "")),
            message=str(data["message"]),
            parameter=data.get("parameter"),
            band=None if band is None else (float(band[0]), float(band[1])),
            figure=None if figure is None else float(figure),
        )


@dataclass(frozen=True)
class Verdict:
    """Whether a fit can be trusted (``status``), and why (``findings``, worst first).

    ``passed`` is true unless the status is ``"fail"``; ``trusted`` only for ``"pass"``.
    ``level`` and ``floor`` are the fit's and the Lin-KK residual levels, percent of |Z|.
    """

    status: Status
    findings: tuple[VerdictFinding, ...]
    level: float
    floor: float
    #: the lag-1 correlation of the relative residuals (NaN where unknown)
    correlation: float = math.nan
    _codes: frozenset[str] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        def rank(f: VerdictFinding) -> tuple[int, int]:
            kind = KINDS.index(f.kind) if f.kind in KINDS else len(KINDS)
            return -STATUSES.index(f.grade), kind

        ordered = sorted(self.findings, key=rank)
        object.__setattr__(self, "findings", tuple(ordered))
        object.__setattr__(self, "_codes", frozenset(f.code for f in ordered))

    @property
    def passed(self) -> bool:
        return self.status != "fail"

    @property
    def trusted(self) -> bool:
        return self.status == "pass"

    @property
    def ratio(self) -> float:
        """The residual level over the floor."""
        return self.level / self.floor if self.floor > 0 else math.nan

    @property
    def at_floor(self) -> bool:
        return bool({"at_floor", "at_floor_structured", "too_few_points"} & self._codes)

    @property
    def at_bound(self) -> tuple[str, ...]:
        return self._parameters("at_bound")

    @property
    def undetermined(self) -> tuple[str, ...]:
        return self._parameters("undetermined", "meaningless")

    def _parameters(self, *codes: str) -> tuple[str, ...]:
        return tuple(f.parameter for f in self.findings if f.code in codes and f.parameter)

    @property
    def headline(self) -> str:
        """The first finding (the worst; of those, about the data or the residuals first)."""
        return self.findings[0].message if self.findings else ""

    def __str__(self) -> str:
        return f"{self.status}: {self.headline}" if self.headline else self.status

    def describe(self) -> str:
        """Every finding, one a line."""
        return "\n".join(str(f) for f in self.findings)

    def to_dict(self) -> dict[str, Any]:
        def number(v: float) -> float | None:
            return v if math.isfinite(v) else None

        return {
            "status": self.status,
            "passed": self.passed,
            "level": number(self.level),
            "floor": number(self.floor),
            "correlation": number(self.correlation),
            "findings": [f.to_dict() for f in self.findings],
            # The fields of reports written before the graded verdict, for their readers.
            "at_floor": self.at_floor,
            "at_bound": list(self.at_bound),
            "undetermined": list(self.undetermined),
        }

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> Verdict:
        def number(v: Any) -> float:
            return math.nan if v is None else float(v)

        level, floor = number(data.get("level")), number(data.get("floor"))
        if "status" in data:
            return cls(
                status=data["status"] if data["status"] in STATUSES else "warn",
                findings=tuple(VerdictFinding.from_dict(f) for f in data.get("findings", [])),
                level=level,
                floor=floor,
                correlation=number(data.get("correlation")),
            )
        return cls._from_pass_fail(data, level, floor)

    @classmethod
    def _from_pass_fail(cls, data: dict[str, Any], level: float, floor: float) -> Verdict:
        """A verdict written before the grades: passed or not, at the floor or not, and the
        parameters at a bound or undetermined, each a failure then."""
        findings = [
            VerdictFinding(
                "adequacy",
                "pass" if data["at_floor"] else "fail",
                "at_floor" if data["at_floor"] else "above_floor",
                f"residuals {level:.3g} % of |Z|, noise floor {floor:.3g} %"
                + ("" if data["at_floor"] else " (above it)"),
                figure=level / floor if floor > 0 else None,
            )
        ]
        findings += [
            VerdictFinding("identifiability", "fail", "at_bound", f"{name} at a bound", name)
            for name in data.get("at_bound", [])
        ]
        findings += [
            VerdictFinding(
                "identifiability", "fail", "undetermined", f"{name} not determined", name
            )
            for name in data.get("undetermined", [])
        ]
        return cls(
            status="pass" if data["passed"] else "fail",
            findings=tuple(findings),
            level=level,
            floor=floor,
        )


def verdict_columns(report: Any) -> dict[str, Any]:
    """The verdict's columns of a table row (``compare``, ``identify``): ``trusted`` (status
    "pass"), ``status``, ``finding`` (the first, worst, finding) and the ``verdict`` text."""
    verdict: Verdict | None = getattr(report, "verdict", None)
    if verdict is None:
        return {"trusted": False, "status": "warn", "finding": "no verdict", "verdict": ""}
    return {
        "trusted": verdict.trusted,
        "status": verdict.status,
        "finding": verdict.headline,
        "verdict": str(verdict),
    }


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
