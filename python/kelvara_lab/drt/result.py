"""The record of one DRT: the distribution, its peaks, the fit it implies, and its JSON form."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from kelvara_lab import display
from kelvara_lab.drt import basis
from kelvara_lab.drt import peaks as shapes
from kelvara_lab.drt.peaks import COLUMNS
from kelvara_lab.drt.suggest import suggest_circuit
from kelvara_lab.io.json_numbers import decode, encode
from kelvara_lab.spectrum.checks import Finding

if TYPE_CHECKING:
    from matplotlib.figure import Figure

FloatArray = npt.NDArray[np.float64]
ComplexArray = npt.NDArray[np.complex128]

FORMAT = "kelvara_lab.DrtResult/1"


def _floats(values: Any) -> list[float | str]:
    return [encode(float(v)) for v in np.asarray(values, dtype=float).ravel()]


def _array(values: list[Any]) -> FloatArray:
    return np.array([decode(v) for v in values], dtype=float)


@dataclass(frozen=True, eq=False)
class DrtResult:
    """A distribution of relaxation times and everything needed to reproduce it.

    ``gamma`` (ohm, per unit ln tau) is sampled at ``tau`` (s); its area is the polarisation
    resistance. ``fitted`` is the model impedance at the measured frequencies and
    ``residuals`` the data minus it (ohm). ``peaks`` holds one row per peak: ``tau`` and
    ``frequency`` of the fitted Zarc shape, the DRT's value ``gamma`` there, the shape's
    resistance ``r`` (ohm), its half-maximum ``width`` (decades) and exponent ``alpha``.
    ``criterion_lambdas``/``criterion_values`` are the curve lambda was chosen on (empty
    when lambda was given). ``gamma_lower``/``gamma_upper`` bound the credible band at
    ``band_level`` when one was asked for.
    """

    frequencies: FloatArray
    impedances: ComplexArray
    tau: FloatArray
    gamma: FloatArray
    r_inf: float
    inductance: float | None
    lambda_: float
    fitted: ComplexArray
    method: str
    mode: str
    criterion: str
    criterion_lambdas: FloatArray
    criterion_values: FloatArray
    epsilon: float
    derivative_order: int
    weighting: str
    centres: FloatArray  # ln(tau) of the basis functions
    coefficients: FloatArray
    gamma_lower: FloatArray | None = None
    gamma_upper: FloatArray | None = None
    band_level: float | None = None
    findings: tuple[Finding, ...] = field(default=())
    #: the peak table once found (found on first use: a batch that wants gamma alone
    #: does not pay for the shape fits)
    _peaks: pd.DataFrame | None = field(default=None, repr=False)

    # -- derived -----------------------------------------------------------------------

    @property
    def peaks(self) -> pd.DataFrame:
        if self._peaks is None:
            table = shapes.find(
                np.log(self.tau),
                self.gamma,
                self.frequencies,
                self.fitted,
                self.inductance is not None,
            )
            object.__setattr__(self, "_peaks", table)
        assert self._peaks is not None
        return self._peaks.copy()

    @property
    def residuals(self) -> ComplexArray:
        return np.asarray(self.impedances - self.fitted, dtype=complex)

    @property
    def polarisation(self) -> float:
        """The area under gamma: the resistance of all relaxations together (ohm)."""
        return float(np.sum(self.coefficients) * basis.area(self.epsilon))

    def gamma_at(self, tau: Any) -> FloatArray:
        """gamma at any time constants (s), from the basis coefficients."""
        t = np.asarray(tau, dtype=float)
        return basis.evaluate(self.coefficients, self.centres, self.epsilon, np.log(t.ravel()))

    def impedance(self, frequencies: Any = None) -> ComplexArray:
        """The model impedance at `frequencies` (the measured ones when left out)."""
        if frequencies is None:
            return self.fitted
        f = np.asarray(frequencies, dtype=float).ravel()
        a_re, a_im = basis.impedance_matrices(f, self.centres, self.epsilon)
        z = self.r_inf + a_re @ self.coefficients + 1j * (a_im @ self.coefficients)
        if self.inductance is not None:
            z = z + 2j * np.pi * f * self.inductance
        return np.asarray(z, dtype=complex)

    def suggest_circuit(self, min_share: float = 0.02) -> tuple[str, dict[str, float]]:
        """A circuit with one R-CPE arc per peak and its start values (see `drt.suggest`)."""
        return suggest_circuit(self, min_share=min_share)

    # -- text --------------------------------------------------------------------------

    def __str__(self) -> str:
        lines = [
            f"[[DRT]] {self.method}, mode {self.mode}, weighting {self.weighting}",
            f"    lambda        {self.lambda_:.4g}"
            + (f" ({self.criterion})" if self.criterion != "given" else " (given)"),
            f"    R_inf         {self.r_inf:.6g} ohm",
        ]
        if self.inductance is not None:
            lines.append(f"    L             {self.inductance:.6g} H")
        lines.append(f"    polarisation  {self.polarisation:.6g} ohm")
        lines.append("[[Peaks]]")
        if self.peaks.empty:
            lines.append("    none")
        for row in self.peaks.itertuples():
            lines.append(
                f"    tau {row.tau:<11.4g} s  f {row.frequency:<11.4g} Hz  "
                f"R {row.r:<11.4g} ohm  alpha {row.alpha:.3f}  width {row.width:.2f} dec"
            )
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"DrtResult(mode={self.mode!r}, lambda_={self.lambda_:.4g}, r_inf={self.r_inf:.6g})"

    # -- persistence -------------------------------------------------------------------

    def to_dict(self) -> dict[str, Any]:
        """Plain data (lists, strings, numbers) that JSON can hold exactly."""

        def optional(values: FloatArray | None) -> list[float | str] | None:
            return None if values is None else _floats(values)

        return {
            "format": FORMAT,
            "method": self.method,
            "mode": self.mode,
            "weighting": self.weighting,
            "lambda": encode(self.lambda_),
            "criterion": {
                "name": self.criterion,
                "lambdas": _floats(self.criterion_lambdas),
                "values": _floats(self.criterion_values),
            },
            "r_inf_ohm": encode(self.r_inf),
            "inductance_h": None if self.inductance is None else encode(self.inductance),
            "basis": {
                "epsilon": encode(self.epsilon),
                "derivative_order": self.derivative_order,
                "ln_tau_centres": _floats(self.centres),
                "coefficients_ohm": _floats(self.coefficients),
            },
            "tau_s": _floats(self.tau),
            "gamma_ohm": _floats(self.gamma),
            "band": {
                "level": None if self.band_level is None else encode(self.band_level),
                "lower_ohm": optional(self.gamma_lower),
                "upper_ohm": optional(self.gamma_upper),
            },
            "peaks": [
                {name: encode(float(row[name])) for name in COLUMNS}
                for _, row in self.peaks.iterrows()
            ],
            "findings": [
                {"severity": f.severity, "code": f.code, "message": f.message, "rows": list(f.rows)}
                for f in self.findings
            ],
            "data": {
                "frequency_hz": _floats(self.frequencies),
                "real_ohm": _floats(self.impedances.real),
                "imaginary_ohm": _floats(self.impedances.imag),
                "fitted_real_ohm": _floats(self.fitted.real),
                "fitted_imaginary_ohm": _floats(self.fitted.imag),
            },
        }

    def to_json(self, **dumps: Any) -> str:
        """JSON text; Python writes floats with round-trip digits, so reading back is exact."""
        return json.dumps(self.to_dict(), allow_nan=False, **dumps)

    @classmethod
    def from_dict(cls, data: dict[str, Any]) -> DrtResult:
        if data.get("format") != FORMAT:
            raise ValueError(
                f"not a DRT result (format {data.get('format')!r}, expected {FORMAT!r})"
            )
        raw, band, shape = data["data"], data["band"], data["basis"]
        table = pd.DataFrame(
            [{name: decode(p[name]) for name in COLUMNS} for p in data["peaks"]],
            columns=COLUMNS,
            dtype=float,
        )
        return cls(
            frequencies=_array(raw["frequency_hz"]),
            impedances=_array(raw["real_ohm"]) + 1j * _array(raw["imaginary_ohm"]),
            tau=_array(data["tau_s"]),
            gamma=_array(data["gamma_ohm"]),
            r_inf=decode(data["r_inf_ohm"]),
            inductance=None if data["inductance_h"] is None else decode(data["inductance_h"]),
            lambda_=decode(data["lambda"]),
            fitted=_array(raw["fitted_real_ohm"]) + 1j * _array(raw["fitted_imaginary_ohm"]),
            _peaks=table,
            method=data["method"],
            mode=data["mode"],
            criterion=data["criterion"]["name"],
            criterion_lambdas=_array(data["criterion"]["lambdas"]),
            criterion_values=_array(data["criterion"]["values"]),
            epsilon=decode(shape["epsilon"]),
            derivative_order=int(shape["derivative_order"]),
            weighting=data["weighting"],
            centres=_array(shape["ln_tau_centres"]),
            coefficients=_array(shape["coefficients_ohm"]),
            gamma_lower=None if band["lower_ohm"] is None else _array(band["lower_ohm"]),
            gamma_upper=None if band["upper_ohm"] is None else _array(band["upper_ohm"]),
            band_level=None if band["level"] is None else decode(band["level"]),
            findings=tuple(
                Finding(f["severity"], f["code"], f["message"], tuple(f["rows"]))
                for f in data["findings"]
            ),
        )

    @classmethod
    def from_json(cls, text: str) -> DrtResult:
        return cls.from_dict(json.loads(text))

    # -- pictures ----------------------------------------------------------------------

    def plot(self) -> Figure:
        """gamma with its peaks (and band) above the residuals, on one new figure."""
        figure: Figure = display.render(self, "plot")
        return figure
