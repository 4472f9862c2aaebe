"""One fit of one spectrum, with fixed parameters and narrowed bounds when asked.

Without ``fixed`` or ``bounds`` the fit is kelvara's own ``Circuit.fit()``, and the report
carries its numbers unchanged. With them, ``scipy.optimize.least_squares`` (trust-region
reflective, the bounded method) drives ``Circuit.residuals()``/``jacobian()`` with the fixed
columns dropped, twice: from the network's guess in kelvara's solver coordinates
(log10(p - lo) for open-ended parameters), and from kelvara's own fit started there in plain
coordinates; the better end is the result. One run alone ended above the minimum on about one
two-arc spectrum in seven; the second run costs about as much again (see bench/lab.py).
"""

from __future__ import annotations

import difflib
import itertools
import math
from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

import kelvara
from kelvara_lab.report import FitReport, information_criteria
from kelvara_lab.spectrum import Spectrum, load

FloatArray = npt.NDArray[np.float64]

# The reference circuits by name; a name and its notation build the same circuit.
REGISTRY: dict[str, str] = {
    "rc": "R0-(R1,C1)",
    "rc_l": "L0-R0-(R1,C1)",
    "rq": "R0-(R1,CPE1)",
    "rq_l": "L0-R0-(R1,CPE1)",
    "two_rc": "R0-(R1,C1)-(R2,C2)",
    "two_rc_l": "L0-R0-(R1,C1)-(R2,C2)",
    "two_rq": "R0-(R1,CPE1)-(R2,CPE2)",
    "two_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)",
    "randles": "R0-(R1-W1,CPE1)",
    "sei_randles": "R0-(R1,CPE1)-(R2-W2,CPE2)",
    "sei_randles_wo": "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
}

# Options of Circuit.fit() that the bounded path understands; the rest belong to the
# global methods, which have no bounded counterpart here.
_BOUNDED_OPTIONS = {"guess_init", "weights", "weight", "method", "max_iterations", "ftol", "xtol"}
_LN10 = math.log(10.0)


def _matrix(rows: list[list[float]], columns: int) -> FloatArray:
    """A list of equal rows as a float matrix; half the time of np.asarray on a Jacobian."""
    flat = np.fromiter(itertools.chain.from_iterable(rows), np.float64, len(rows) * columns)
    return flat.reshape(len(rows), columns)


def notation_of(circuit: str) -> str:
    """The notation of a registry name (any case, trimmed), or the text itself."""
    return REGISTRY.get(circuit.strip().lower(), circuit)


def _name_error(kind: str, name: str, names: list[str]) -> ValueError:
    close = difflib.get_close_matches(name, names, n=1)
    hint = f" (did you mean {close[0]!r}?)" if close else ""
    return ValueError(f"{kind}: unknown parameter {name!r}{hint}; parameters are {names}")


def _boxes(
    circuit: kelvara.Circuit,
    fixed: Mapping[str, float],
    bounds: Mapping[str, tuple[float, float]],
) -> tuple[list[tuple[float, float]], dict[str, float]]:
    """Effective (lo, hi) per parameter and the fixed values, both checked.

    User bounds narrow the catalogue box (the part outside it is dropped, since the model
    is not defined there); a box of zero width fixes the parameter.
    """
    names = circuit.param_names()
    catalogue = circuit.param_bounds()
    held = {}
    for name, value in fixed.items():
        if name not in names:
            raise _name_error("fixed", name, names)
        lo, hi = catalogue[names.index(name)]
        value = float(value)
        if not (lo <= value <= hi):
            raise ValueError(f"fixed: {name} = {value} lies outside its valid range [{lo}, {hi}]")
        held[name] = value
    box = list(catalogue)
    for name, pair in bounds.items():
        if name not in names:
            raise _name_error("bounds", name, names)
        if name in held:
            raise ValueError(f"{name} is both fixed and bounded")
        try:
            user_lo, user_hi = (float(v) for v in pair)
        except (TypeError, ValueError):
            raise ValueError(f"bounds: {name} needs a pair (lo, hi), got {pair!r}") from None
        if math.isnan(user_lo) or math.isnan(user_hi) or user_lo > user_hi:
            raise ValueError(f"bounds: {name} has an empty range ({user_lo}, {user_hi})")
        i = names.index(name)
        lo, hi = max(catalogue[i][0], user_lo), min(catalogue[i][1], user_hi)
        if lo > hi:
            raise ValueError(
                f"bounds: {name} ({user_lo}, {user_hi}) does not meet its valid range "
                f"[{catalogue[i][0]}, {catalogue[i][1]}]"
            )
        if lo == hi:
            held[name] = lo
        box[i] = (lo, hi)
    return box, held


def _start(
    circuit: kelvara.Circuit, data: Spectrum, options: Mapping[str, Any]
) -> tuple[list[float], str]:
    """The network's guess where one exists (as kelvara's fit would start), else the defaults."""
    guess_init = options.get("guess_init")
    if guess_init is False:
        return circuit.param_values(), "catalogue defaults (guess_init=False)"
    try:
        values = circuit.guess(data.frequencies, data.impedances, weights=options.get("weights"))
    except ValueError as error:
        if guess_init is True or options.get("weights") is not None:
            raise
        return (
            circuit.param_values(),
            f"catalogue defaults (no guess: {str(error).splitlines()[0]})",
        )
    return list(values), "network guess"


def _bounded_fit(
    circuit: kelvara.Circuit,
    notation: str,
    data: Spectrum,
    box: list[tuple[float, float]],
    held: dict[str, float],
    options: Mapping[str, Any],
) -> FitReport:
    from scipy.optimize import least_squares

    unknown = set(options) - _BOUNDED_OPTIONS
    if unknown:
        raise TypeError(
            f"option(s) {sorted(unknown)} do not apply to a fit with fixed or bounded "
            "parameters (it runs bounded least squares)"
        )
    method = options.get("method", "levenberg_marquardt")
    if method != "levenberg_marquardt":
        raise ValueError(
            f"fixed and bounded parameters work with method 'levenberg_marquardt' only, "
            f"got {method!r}"
        )
    weight = options.get("weight", "modulus")
    names = circuit.param_names()
    n = len(names)
    catalogue_lo = np.array([b[0] for b in circuit.param_bounds()])
    logged = ~np.isfinite([b[1] for b in circuit.param_bounds()])
    lo = np.array([b[0] for b in box])
    hi = np.array([b[1] for b in box])
    free = np.array([name not in held for name in names])
    if not free.any():
        raise ValueError("every parameter is fixed: there is nothing to fit")

    start, start_kind = _start(circuit, data, options)
    f, z = data.frequencies, data.impedances
    p = np.zeros(n)
    for name, value in held.items():
        p[names.index(name)] = value
    base = catalogue_lo[free]

    def solve(values: list[float], decades: npt.NDArray[np.bool_]) -> tuple[Any, FloatArray]:
        """One trust-region run; `decades` marks the free parameters solved as log10(p - lo)."""
        with np.errstate(divide="ignore"):
            x_lo = np.where(decades, np.log10(lo[free] - base), lo[free])
            x_hi = np.where(decades, np.log10(hi[free] - base), hi[free])
        q = np.clip(np.array(values, dtype=float), lo, hi)[free]
        x0 = np.clip(np.where(decades, np.log10(np.maximum(q - base, 1e-300)), q), x_lo, x_hi)

        def physical(x: FloatArray) -> FloatArray:
            out: FloatArray = p.copy()
            out[free] = np.where(decades, base + 10.0**x, x)
            return out

        def residuals(x: FloatArray) -> FloatArray:
            return np.asarray(circuit.residuals(physical(x), f, z, weight))

        def jacobian(x: FloatArray) -> FloatArray:
            columns = _matrix(circuit.jacobian(physical(x), f, z, weight), n)[:, free]
            return columns * np.where(decades, _LN10 * 10.0**x, 1.0)

        # A trial step may reach past 1e308 in an open-ended parameter, or give residuals
        # whose squares overflow: the solver sees a cost of inf, refuses the step and
        # shrinks its region. That is the method working, not a warning for the user.
        with np.errstate(over="ignore", invalid="ignore"):
            run = least_squares(
                residuals,
                x0,
                jac=jacobian,
                bounds=(x_lo, x_hi),
                method="trf",
                x_scale="jac",
                ftol=options.get("ftol", 1e-8),
                xtol=options.get("xtol", 1e-8),
                max_nfev=options.get("max_iterations", 200),
            )
            return run, np.clip(physical(run.x), lo, hi)

    # From the start, in kelvara's own solver coordinates (decades for open-ended values).
    runs = [solve(start, logged[free])]
    own_evaluations = 0
    if start_kind == "network guess":
        # One run from the guess ends in a poor local minimum on about one two-arc spectrum
        # in seven. kelvara's own multi-start fit from the guess, with the fixed values put
        # in and clamped into the box, starts a second run, in plain coordinates, as the
        # bounded reference optimiser works; the better end wins.
        own = circuit.with_values(start).fit(f, z, weight=weight)
        own_evaluations = own.impedance_evals
        if np.isfinite(own.circuit.param_values()).all():
            try:
                runs.append(solve(own.circuit.param_values(), np.zeros(len(base), dtype=bool)))
            except ValueError:  # residuals not finite there: the first run stands
                pass
    result, values = min(runs, key=lambda r: r[0].cost if np.isfinite(r[0].cost) else np.inf)
    njev = sum(int(run.njev or 0) for run, _ in runs)
    # Residual-vector evaluations, counted as kelvara counts them: each central-difference
    # Jacobian costs two per parameter, and the statistics below one more Jacobian and residual.
    nfev = sum(int(run.nfev) for run, _ in runs)
    evaluations = own_evaluations + nfev + (njev + 1) * 2 * n + 1
    return _report(
        circuit,
        notation,
        data,
        values,
        free,
        weight=weight,
        success=bool(result.success),
        method="levenberg_marquardt",
        engine="scipy least_squares (trf, bounded)",
        evaluations=evaluations,
        iterations=njev,
        stderr=None,
        fixed=tuple(name for name in names if name in held),
        bounds=tuple(box),
        start=start_kind,
        message=str(result.message),
    )


def _report(
    circuit: kelvara.Circuit,
    notation: str,
    data: Spectrum,
    values: FloatArray,
    free: npt.NDArray[np.bool_],
    *,
    weight: str,
    success: bool,
    method: str,
    engine: str,
    evaluations: int,
    iterations: int,
    stderr: list[float] | None,
    fixed: tuple[str, ...],
    bounds: tuple[tuple[float, float], ...],
    start: str,
    message: str,
    cost: float | None = None,
    chi_square: float | None = None,
) -> FitReport:
    """Statistics at the fitted values, from the same residuals and Jacobian the fit used.

    Covariance = s^2 (J^T J)^-1 over the free parameters with s^2 = chi-square / dof, the
    convention behind kelvara's own standard errors; AIC and BIC as in lmfit.
    """
    f, z = data.frequencies, data.impedances
    n = len(values)
    k = int(free.sum())
    m = 2 * len(f)
    r = np.asarray(circuit.residuals(values, f, z, weight))
    if chi_square is None:
        cost = 0.5 * float(r @ r)
        chi_square = cost + cost
    assert cost is not None
    dof = m - k
    covariance = np.full((n, n), np.nan)
    if dof > 0 and k > 0:
        j = _matrix(circuit.jacobian(values, f, z, weight), n)[:, free]
        try:
            inner = np.linalg.inv(j.T @ j)
        except np.linalg.LinAlgError:
            inner = None
        if inner is not None:
            covariance[np.ix_(free, free)] = chi_square / dof * inner
    if stderr is None:
        with np.errstate(invalid="ignore"):
            errors = np.sqrt(np.diag(covariance))
    else:
        errors = np.array(stderr, dtype=float)
    if not np.isfinite(errors).any():
        # kelvara reported no standard errors: no covariance either, as it found J^T J singular.
        covariance[:] = np.nan
    aic, bic = information_criteria(chi_square, m, k)
    return FitReport(
        circuit=notation,
        names=tuple(circuit.param_names()),
        values=tuple(float(v) for v in values),
        stderr=tuple(float(e) for e in errors),
        units=tuple(circuit.param_units()),
        fixed=fixed,
        bounds=bounds,
        covariance=covariance,
        cost=float(cost),
        chi_square=float(chi_square),
        reduced_chi_square=float(chi_square / dof) if dof > 0 else math.nan,
        dof=dof,
        points=len(f),
        aic=aic,
        bic=bic,
        success=success,
        method=method,
        engine=engine,
        weight=weight,
        evaluations=evaluations,
        iterations=iterations,
        start=start,
        message=message,
        findings=data.findings,
        frequencies=f,
        impedances=z,
    )


def fit(
    circuit: str,
    data: Any,
    *,
    fixed: Mapping[str, float] | None = None,
    bounds: Mapping[str, tuple[float, float]] | None = None,
    check: bool = True,
    **fit_options: Any,
) -> FitReport:
    """Fit `circuit` (notation or a registry name) to `data` and report on it.

    `data` is a BDF frame, a file path or a pair ``(f, z)``; its checks run first and an
    error-level finding raises `DataError` (``check=False`` skips them). ``fixed={"R0.r":
    0.02}`` holds parameters; ``bounds={"CPE1.alpha": (0.5, 1)}`` narrows their valid box.
    Without either, this is kelvara's ``Circuit.fit(**fit_options)`` and reports its numbers.
    """
    if not isinstance(circuit, str):
        raise TypeError(
            f"circuit must be notation or a registry name (str), got {type(circuit).__name__}"
        )
    spectrum = load(data, run_checks=check)
    model = kelvara.Circuit(circuit)
    notation = notation_of(circuit)
    if fixed or bounds:
        box, held = _boxes(model, fixed or {}, bounds or {})
        return _bounded_fit(model, notation, spectrum, box, held, fit_options)
    result = model.fit(spectrum.frequencies, spectrum.impedances, **fit_options)
    names = model.param_names()
    params = result.params
    values = np.array([params[name] for name in names])
    stderr = result.stderr
    guessed = fit_options.get("guess_init") is not False
    return _report(
        model,
        notation,
        spectrum,
        values,
        np.ones(len(names), dtype=bool),
        weight=fit_options.get("weight", "modulus"),
        success=result.success,
        method=fit_options.get("method", "levenberg_marquardt"),
        engine="kelvara",
        evaluations=result.impedance_evals,
        iterations=result.iterations,
        stderr=[math.nan] * len(names) if stderr is None else [stderr[name] for name in names],
        fixed=(),
        bounds=tuple(model.param_bounds()),
        start="kelvara's own (network guess where one exists)"
        if guessed
        else "catalogue defaults (guess_init=False)",
        message="",
        cost=result.cost,
        chi_square=result.chi_square,
    )
