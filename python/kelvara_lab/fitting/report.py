"""The record of one fit: numbers, statistics, data-check findings, and their JSON form."""

from __future__ import annotations

import json
import math
import sys
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import kelvara
from kelvara_lab import display
from kelvara_lab.circuit.elements import CustomElement, ensure
from kelvara_lab.circuit.model import EngineCircuit
from kelvara_lab.fitting.verdict import Verdict
from kelvara_lab.io.json_numbers import decode, encode
from kelvara_lab.spectrum.checks import Finding

if TYPE_CHECKING:
    from matplotlib.figure import Figure

FORMAT = "kelvara_lab.FitReport/1"


def information_criteria(chi_square: float, points: int, variables: int) -> tuple[float, float]:
    """AIC and BIC of a least-squares fit with unknown noise (lmfit's convention).

    ``points`` counts residuals (two per frequency), ``variables`` the free parameters. An
    exact fit (chi-square 0) takes the smallest positive double for its chi-square: its
    criteria stay finite and rank it before any fit that misses, fewer parameters first.
    """
    if points <= 0 or not chi_square >= 0:
        return math.nan, math.nan
    base = points * math.log(max(chi_square, sys.float_info.min) / points)
    return base + 2 * variables, base + math.log(points) * variables


@dataclass(frozen=True, eq=False)
class FitReport:
    """Everything one fit found, in parameter order.

    ``stderr`` is NaN for fixed parameters and where kelvara found no standard errors;
    ``covariance`` is NaN in the rows and columns of fixed parameters. ``evaluations``
    counts residual-vector evaluations, as kelvara's ``impedance_evals`` does.
    """

    circuit: str
    names: tuple[str, ...]
    values: tuple[float, ...]
    stderr: tuple[float, ...]
    units: tuple[str, ...]
    fixed: tuple[str, ...]
    bounds: tuple[tuple[float, float], ...]
    covariance: npt.NDArray[np.float64]
    cost: float
    chi_square: float
    reduced_chi_square: float
    dof: int
    points: int
    aic: float
    bic: float
    success: bool
    method: str
    engine: str
    weight: str
    evaluations: int
    iterations: int
    start: str
    message: str
    findings: tuple[Finding, ...] = ()
    #: why the solver stopped where it did ("converged", "lost_patience", ...; ``message``
    #: says it in words); empty where kelvara's own ``Circuit.fit`` ran, whose result
    #: carries its success alone
    termination: str = ""
    frequencies: npt.NDArray[np.float64] = field(default_factory=lambda: np.empty(0))
    impedances: npt.NDArray[np.complex128] = field(
        default_factory=lambda: np.empty(0, dtype=complex)
    )
    verdict: Verdict | None = None
    elements: tuple[CustomElement, ...] = ()  # the custom elements the circuit uses

    @property
    def params(self) -> dict[str, float]:
        return dict(zip(self.names, self.values, strict=True))

    @property
    def errors(self) -> dict[str, float]:
        return dict(zip(self.names, self.stderr, strict=True))

    @property
    def correlation(self) -> npt.NDArray[np.float64]:
        with np.errstate(invalid="ignore", divide="ignore"):
            scale = np.sqrt(np.diag(self.covariance))
            return np.asarray(self.covariance / np.outer(scale, scale))

    def fitted_circuit(self) -> kelvara.Circuit | EngineCircuit:
        """The fitted ``kelvara.Circuit``, rebuilt from the notation and the values; for a
        circuit with custom elements the engine's reading, their definitions (kept in the
        report) defined first."""
        if self.elements:
            ensure(e.to_dict() for e in self.elements)
            return EngineCircuit(self.circuit, list(self.values))
        return kelvara.Circuit(self.circuit).with_values(list(self.values))

    def impedance(self, frequencies: Any = None) -> npt.NDArray[np.complex128]:
        """The fitted model at `frequencies` (the measured ones when left out)."""
        f = self.frequencies if frequencies is None else frequencies
        return self.fitted_circuit().impedance(f)

    # -- text --------------------------------------------------------------------------

    def __str__(self) -> str:
        lines = [
            f"[[Fit]] {self.circuit}",
            f"    engine        {self.engine}, method {self.method}, weight {self.weight}",
            f"    start         {self.start}",
            *(f"    element       {e.code}: Z = {e.formula}" for e in self.elements),
            f"    success       {self.success}" + (f" ({self.message})" if self.message else ""),
            *([f"    verdict       {self.verdict.status}"] if self.verdict is not None else []),
            f"    evaluations   {self.evaluations} (iterations {self.iterations})",
            f"    points        {self.points} (residuals {2 * self.points}), "
            f"variables {len(self.names) - len(self.fixed)}, dof {self.dof}",
            f"    chi-square    {self.chi_square:.6g}",
            f"    reduced chi2  {self.reduced_chi_square:.6g}",
            f"    AIC           {self.aic:.6g}",
            f"    BIC           {self.bic:.6g}",
            "[[Parameters]]",
        ]
        width = max((len(n) for n in self.names), default=4)
        for name, value, error, unit in zip(
            self.names, self.values, self.stderr, self.units, strict=True
        ):
            if name in self.fixed:
                spread = "(fixed)"
            elif math.isfinite(error):
                relative = f" ({abs(error / value):.2%})" if value else ""
                spread = f"+/- {error:.4g}{relative}"
            else:
                spread = "+/- n/a"
            lines.append(f"    {name:<{width}} = {value:<12.6g} {spread:<24} {unit}")
        pairs = []
        correlation = self.correlation
        for i in range(len(self.names)):
            for j in range(i + 1, len(self.names)):
                c = correlation[i, j]
                if math.isfinite(c) and abs(c) > 0.5:
                    pairs.append((abs(c), f"    C({self.names[i]}, {self.names[j]}) = {c:+.3f}"))
        if pairs:
            lines.append("[[Correlations]] (|C| > 0.5)")
            lines.extend(text for _, text in sorted(pairs, reverse=True))
        if self.verdict is not None and self.verdict.findings:
            lines.append(f"[[Verdict]] {self.verdict.status}")
            lines.extend(
                f"    {f.grade:<4}  {f.kind:<15} {f.message}" for f in self.verdict.findings
            )
        if self.findings:
            lines.append("[[Data checks]]")
            lines.extend(f"    {f.severity}: {f.message}" for f in self.findings)
        return "\n".join(lines)

    def _repr_html_(self) -> str:
        return str(display.render(self, "html"))

    def __repr__(self) -> str:
        return (
            f"FitReport(circuit={self.circuit!r}, success={self.success}, "
            f"chi_square={self.chi_square:.6g}, bic={self.bic:.6g})"
        )

    # -- persistence -------------------------------------------------------------------

    def to_dict(self) -> dict[str, Any]:
        """Plain data (lists, strings, numbers) that JSON can hold exactly."""
        return {
            "format": FORMAT,
            "circuit": self.circuit,
            "parameters": [
                {
                    "name": n,
                    "value": encode(v),
                    "stderr": encode(e),
                    "unit": u,
                    "fixed": n in self.fixed,
                    "bounds": [encode(b[0]), encode(b[1])],
                }
                for n, v, e, u, b in zip(
                    self.names, self.values, self.stderr, self.units, self.bounds, strict=True
                )
            ],
            "covariance": [[encode(float(c)) for c in row] for row in self.covariance],
            "statistics": {
                "cost": encode(self.cost),
                "chi_square": encode(self.chi_square),
                "reduced_chi_square": encode(self.reduced_chi_square),
                "dof": self.dof,
                "points": self.points,
                "aic": encode(self.aic),
                "bic": encode(self.bic),
            },
            "success": self.success,
            "method": self.method,
            "engine": self.engine,
            "weight": self.weight,
            "evaluations": self.evaluations,
            "iterations": self.iterations,
            "start": self.start,
            "message": self.message,
            "termination": self.termination,
            "verdict": None if self.verdict is None else self.verdict.to_dict(),
            "findings": [
                {"severity": f.severity, "code": f.code, "message": f.message, "rows": list(f.rows)}
                for f in self.findings
            ],
            "elements": [
                {
                    "code": e.code,
                    "formula": e.formula,
                    "parameters": [
                        [
                            p.name,
                            p.unit,
                            encode(p.default),
                            encode(p.bounds[0]),
                            encode(p.bounds[1]),
                            p.log,
                        ]
                        for p in e.parameters
                    ],
                }
                for e in self.elements
            ],
            "data": {
                "frequency_hz": [encode(float(v)) for v in self.frequencies],
                "real_ohm": [encode(float(v)) for v in self.impedances.real],
                "imaginary_ohm": [encode(float(v)) for v in self.impedances.imag],
            },
        }

    def to_json(self, **dumps: Any) -> str:
        """JSON text; Python writes floats with round-trip digits, so reading back is exact."""
        return json.dumps(self.to_dict(), allow_nan=False, **dumps)

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> FitReport:
        """The report `to_dict` wrote; a ValueError naming what is missing or wrong else."""
        if not isinstance(data, dict) or data.get("format") != FORMAT:
            found = data.get("format") if isinstance(data, dict) else type(data).__name__
            raise ValueError(f"not a fit report (format {found!r}, expected {FORMAT!r})")
        try:
            return cls._from_dict(data)
        except KeyError as error:
            raise ValueError(f"not a whole fit report: {error} is missing") from None
        except (TypeError, ValueError, IndexError, AttributeError) as error:
            raise ValueError(f"not a valid fit report: {error}") from None

    @classmethod
    def _from_dict(cls, data: dict[str, Any]) -> FitReport:
        parameters = data["parameters"]
        stats = data["statistics"]
        raw = data["data"]
        n = len(parameters)
        covariance = np.array(
            [[decode(c) for c in row] for row in data["covariance"]], dtype=float
        ).reshape(n, n)
        return cls(
            circuit=data["circuit"],
            names=tuple(p["name"] for p in parameters),
            values=tuple(decode(p["value"]) for p in parameters),
            stderr=tuple(decode(p["stderr"]) for p in parameters),
            units=tuple(p["unit"] for p in parameters),
            fixed=tuple(p["name"] for p in parameters if _flag(p["fixed"])),
            bounds=tuple((decode(p["bounds"][0]), decode(p["bounds"][1])) for p in parameters),
            covariance=covariance,
            cost=decode(stats["cost"]),
            chi_square=decode(stats["chi_square"]),
            reduced_chi_square=decode(stats["reduced_chi_square"]),
            dof=int(stats["dof"]),
            points=int(stats["points"]),
            aic=decode(stats["aic"]),
            bic=decode(stats["bic"]),
            success=_flag(data["success"]),
            method=data["method"],
            engine=data["engine"],
            weight=data["weight"],
            evaluations=int(data["evaluations"]),
            iterations=int(data["iterations"]),
            start=data["start"],
            message=data["message"],
            termination=data.get("termination", ""),
            findings=tuple(
                Finding(f["severity"], f["code"], f["message"], tuple(f["rows"]))
                for f in data["findings"]
            ),
            frequencies=np.array([decode(v) for v in raw["frequency_hz"]], dtype=float),
            impedances=np.array([decode(v) for v in raw["real_ohm"]], dtype=float)
            + 1j * np.array([decode(v) for v in raw["imaginary_ohm"]], dtype=float),
            verdict=Verdict.from_dict(data["verdict"]) if data.get("verdict") else None,
            elements=tuple(
                CustomElement.from_dict(
                    {
                        "code": e["code"],
                        "formula": e["formula"],
                        "parameters": [
                            [n, u, decode(d), decode(lo), decode(hi), log]
                            for n, u, d, lo, hi, log in e["parameters"]
                        ],
                    }
                )
                for e in data.get("elements", [])
            ),
        )

    @classmethod
    def from_json(cls, text: str) -> FitReport:
        try:
            data = json.loads(text)
        except ValueError as error:
            raise ValueError(f"not a fit report: not JSON ({error})") from None
        return cls.from_dict(data)

    # -- pictures ----------------------------------------------------------------------

    def plot(self) -> Figure:
        """The fit's picture (``kelvara_lab.plot.fit``): Nyquist, residuals and Bode of the
        data with the fit, on one new figure."""
        figure: Figure = display.render(self, "plot")
        return figure


def _flag(value: Any) -> bool:
    if not isinstance(value, bool):
        raise ValueError(f"{value!r} is not true or false")
    return value
