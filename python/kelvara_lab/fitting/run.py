"""One fit of one spectrum: any circuit, no hand guess, parameters held or boxed when asked.

``search="thorough"`` (the default) runs kelvara_lab's native engine: the local fit from the
start (the network's guess where the topology has one, else the catalogue values, or the
user's ``start``) and a search over starts scaled from the spectrum itself, in parallel on the
shared pool; the best minimum wins, so the search never ends above the local fit.
``search="local"`` is kelvara's own default fit, number for number (``Circuit.fit``); held
parameters, a box or start values run the same local multi-start on the free parameters only.
Every report carries a verdict (see ``kelvara_lab.fitting.verdict``).
"""

from __future__ import annotations

import contextlib
import math
import warnings
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

import kelvara
from kelvara_lab import _engine
from kelvara_lab.circuit.elements import CustomElement, used_by
from kelvara_lab.circuit.model import CircuitModel, EngineCircuit, model_of
from kelvara_lab.circuit.notation import notation_of
from kelvara_lab.fitting.grading import Evidence, judge
from kelvara_lab.fitting.inputs import parameter_boxes, start_values
from kelvara_lab.fitting.report import FitReport, information_criteria
from kelvara_lab.fitting.verdict import noise_floor
from kelvara_lab.spectrum.record import Spectrum, load, one_spectrum

FloatArray = npt.NDArray[np.float64]
Search = Literal["thorough", "quick", "local"]
SEARCHES: tuple[Search, ...] = ("thorough", "quick", "local")
# The engine's own options (search preset, seed, effort) as the core declares them.
ENGINE_OPTIONS: dict[str, dict[str, Any]] = {o["name"]: o for o in _engine.engine_options()}
#: the search's default multiplier of its starts, and the most it takes
DEFAULT_EFFORT = int(ENGINE_OPTIONS["effort"]["default"])


# The fit options as kelvara declares them (name, default, owning method, rule).
FIT_OPTIONS: list[dict[str, Any]] = _engine.fit_options()
_LOCAL_METHOD = "levenberg_marquardt"
# Options of Circuit.fit() that the engine's least squares understands: the front door's and
# the local method's; the global methods' options (and their seed) belong to kelvara's searches.
_ENGINE_OPTIONS = {"guess_init", "weights"} | {
    o["name"] for o in FIT_OPTIONS if o["owner"] in (None, _LOCAL_METHOD) and o["name"] != "seed"
}

# Every option Circuit.fit() takes besides the spectrum.
_KNOWN_OPTIONS = {"guess_init", "weights"} | {o["name"] for o in FIT_OPTIONS}


@contextlib.contextmanager
def no_network_warning_silenced() -> Iterator[None]:
    """Silences kelvara's warning that a topology has no network: its fit then starts from
    the catalogue values, which a report's "start" already says, so many fits need not
    repeat it once each."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="There is no ML model", category=UserWarning)
        yield


def _network_guess(
    circuit: CircuitModel, data: Spectrum, options: Mapping[str, Any]
) -> tuple[list[float] | None, str]:
    """The network's guess where one exists (as kelvara's fit would start), and why not."""
    guess_init = options.get("guess_init")
    if guess_init is False:
        return None, "catalogue values (guess_init=False)"
    if isinstance(circuit, EngineCircuit) and guess_init is not True:
        return None, "catalogue and custom elements' default values (no network for them)"
    try:
        values = circuit.guess(data.frequencies, data.impedances, weights=options.get("weights"))
    except ValueError as error:
        if guess_init is True or options.get("weights") is not None:
            raise
        return None, f"catalogue values (no network: {str(error).splitlines()[0]})"
    for name, value in zip(circuit.param_names(), values, strict=True):
        if not math.isfinite(value):
            cause = (
                "the spectrum holds non-finite values"
                if not (np.isfinite(data.frequencies).all() and np.isfinite(data.impedances).all())
                else "the weight file may be damaged"
            )
            raise ValueError(
                f"the network's guess for {name} is not finite ({value}); {cause}, "
                "or pass guess_init=False with your own values"
            )
    return list(values), "network guess"


def _engine_fit(
    model: CircuitModel,
    notation: str,
    data: Spectrum,
    box: list[tuple[float, float]],
    held: dict[str, float],
    user_start: dict[str, float],
    search: Search,
    seed: int | None,
    effort: int,
    options: Mapping[str, Any],
    floor: float | None,
) -> FitReport:
    unknown = set(options) - _ENGINE_OPTIONS
    if unknown:
        raise TypeError(
            f"option(s) {sorted(unknown)} belong to kelvara's global methods; the engine's "
            f"least squares takes {sorted(_ENGINE_OPTIONS)}"
        )
    names = model.param_names()
    if len(held) == len(names):
        raise ValueError("every parameter is fixed: there is nothing to fit")
    guess, start_kind = _network_guess(model, data, options)
    first = list(guess) if guess is not None else model.param_values()
    if user_start:
        first = [user_start.get(name, value) for name, value in zip(names, first, strict=True)]
        start_kind = "your start values" + (
            f" (the rest from the {start_kind})" if len(user_start) < len(names) else ""
        )
    for name, value in held.items():
        first[names.index(name)] = value
    starts = [first]
    if guess is not None and user_start:
        starts.append(guess)  # the network's guess as one more start
    weight = options.get("weight", "modulus")
    engine_options = {k: options[k] for k in ("max_iterations", "ftol", "xtol") if k in options}
    out = _engine.fit(
        notation,
        data.frequencies,
        data.impedances,
        starts,
        [name in held for name in names],
        [b[0] for b in box],
        [b[1] for b in box],
        weight=weight,
        search=search,
        seed=0 if seed is None else seed,
        effort=effort,
        **engine_options,
    )
    values = np.array(out["values"], dtype=float)
    stderr = out["stderr"]
    covariance = np.array(out["covariance"], dtype=float).reshape(len(names), len(names))
    if search != "local":
        engine = (
            f"kelvara_lab engine, {search} search over {out['solver_runs']} solver runs "
            f"(seed {seed or 0})"
        )
    else:
        engine = "kelvara_lab engine, local multi-start on the free parameters"
    return _report(
        model,
        notation,
        data,
        values,
        weight=weight,
        success=bool(out["success"]),
        method=_LOCAL_METHOD,
        engine=engine,
        evaluations=int(out["evaluations"]),
        iterations=int(out["iterations"]),
        termination=str(out["termination"]),
        message=str(out["message"]),
        stderr=[math.nan] * len(names) if stderr is None else list(stderr),
        covariance=covariance,
        fixed=tuple(name for name in names if name in held),
        bounds=tuple(box),
        start=start_kind,
        cost=float(out["cost"]),
        chi_square=float(out["chi_square"]),
        floor=floor,
        search_ends=tuple(out["end_costs"]) if search != "local" else None,
        searched_by="not searched (search='local')" if search == "local" else "",
    )


def _report(
    circuit: CircuitModel,
    notation: str,
    data: Spectrum,
    values: FloatArray,
    *,
    weight: str,
    success: bool,
    method: str,
    engine: str,
    evaluations: int,
    iterations: int,
    termination: str = "",
    message: str = "",
    stderr: list[float],
    covariance: FloatArray,
    fixed: tuple[str, ...],
    bounds: tuple[tuple[float, float], ...],
    start: str,
    cost: float,
    chi_square: float,
    floor: float | None,
    search_ends: tuple[float, ...] | None,
    searched_by: str,
) -> FitReport:
    """The report at the fitted values; AIC and BIC as in lmfit, over the free parameters."""
    f, z = data.frequencies, data.impedances
    names = tuple(circuit.param_names())
    k = len(names) - len(fixed)
    m = 2 * len(f)
    dof = m - k
    errors = np.array(stderr, dtype=float)
    if not np.isfinite(errors).any():
        covariance = np.full((len(names), len(names)), np.nan)
    aic, bic = information_criteria(chi_square, m, k)
    fitted = circuit.with_values(list(values)).impedance(f)
    verdict = judge(
        Evidence(
            notation=notation,
            names=names,
            values=tuple(float(v) for v in values),
            stderr=tuple(float(e) for e in errors),
            fixed=fixed,
            bounds=bounds,
            catalogue=tuple(circuit.param_bounds()),
            frequencies=f,
            impedances=z,
            residuals=fitted - z,
            cost=cost,
            floor=noise_floor(f, z) if floor is None else floor,
            search_ends=search_ends,
            searched_by=searched_by,
        )
    )
    custom = isinstance(circuit, EngineCircuit)
    return FitReport(
        circuit=notation,
        names=names,
        values=tuple(float(v) for v in values),
        stderr=tuple(float(e) for e in errors),
        units=tuple(circuit.param_units()),
        fixed=fixed,
        bounds=bounds,
        covariance=covariance,
        cost=cost,
        chi_square=chi_square,
        reduced_chi_square=chi_square / dof if dof > 0 else math.nan,
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
        termination=termination,
        findings=data.findings,
        frequencies=f,
        impedances=z,
        verdict=verdict,
        elements=tuple(map(CustomElement.from_dict, used_by(notation))) if custom else (),
    )


def _kelvara_fit(
    model: kelvara.Circuit,
    notation: str,
    data: Spectrum,
    options: Mapping[str, Any],
    floor: float | None,
) -> FitReport:
    """kelvara's own ``Circuit.fit(**options)``, its numbers unchanged."""
    result = model.fit(data.frequencies, data.impedances, **options)
    names = model.param_names()
    values = np.array([result.params[name] for name in names])
    stderr = result.stderr
    # The covariance from the core's statistics at the same minimum, which kelvara's standard
    # errors come from too.
    f, z = data.frequencies, data.impedances
    n = len(names)
    weight = options.get("weight", "modulus")
    covariance = np.full((n, n), np.nan)
    if stderr is not None:
        _, rows = _engine.statistics(notation, f, z, list(values), result.chi_square, weight)
        covariance = np.array(rows, dtype=float).reshape(n, n)
    guessed = options.get("guess_init") is not False
    return _report(
        model,
        notation,
        data,
        values,
        weight=weight,
        success=result.success,
        method=options.get("method", _LOCAL_METHOD),
        engine="kelvara",
        evaluations=result.impedance_evals,
        iterations=result.iterations,
        stderr=[math.nan] * n if stderr is None else [stderr[name] for name in names],
        covariance=covariance,
        fixed=(),
        bounds=tuple(model.param_bounds()),
        start="kelvara's own (network guess where one exists)"
        if guessed
        else "catalogue values (guess_init=False)",
        cost=result.cost,
        chi_square=result.chi_square,
        floor=floor,
        search_ends=None,
        searched_by=f"searched by kelvara's {options['method']}, which keeps no other minima"
        if "method" in options
        else "not searched (search='local')",
    )


def fit(
    circuit: str,
    data: Any,
    z: Any = None,
    *,
    fixed: Mapping[str, float] | None = None,
    bounds: Mapping[str, tuple[float, float]] | None = None,
    start: Mapping[str, float] | Sequence[float] | None = None,
    search: Search = "thorough",
    seed: int | None = None,
    effort: int = DEFAULT_EFFORT,
    check: bool = True,
    noise_floor: float | None = None,
    **fit_options: Any,
) -> FitReport:
    """Fit `circuit` (notation or a registry name) to `data` and report on it, with a verdict.

    `data` is a BDF frame or mapping, a file path or a pair ``(f, z)``; its checks run first
    and an error-level finding raises `DataError` (``check=False`` skips them).
    ``fixed={"R0.r": 0.02}`` holds parameters; ``bounds={"CPE1.alpha": (0.5, 1)}`` narrows
    their valid box; ``start`` gives start values (a mapping of names, or one value per
    parameter). ``search="thorough"`` (default) adds the spectrum-scaled search to the local
    fit, deterministic for a given ``seed``; ``effort`` (1 to 16) multiplies its starts (the
    default, 4, finds the best minimum of hard many-arc circuits more often than 1 at about
    twice the time);
    ``search="quick"`` runs it with a quarter of the starts (a screen of many candidates);
    ``search="local"`` is the local fit alone, and without fixed, bounds or start it is
    kelvara's ``Circuit.fit(**fit_options)`` exactly
    (the choice for very large batches of registry circuits, whose networks already start
    them near the best minimum). A global ``method`` runs kelvara's own search of that name.
    ``noise_floor`` (percent of |Z|) skips the Lin-KK test the verdict otherwise runs.
    """
    if not isinstance(circuit, str):
        raise TypeError(
            f"circuit must be notation or a registry name (str), got {type(circuit).__name__}"
        )
    unknown = sorted(set(fit_options) - _KNOWN_OPTIONS)
    if unknown:
        raise TypeError(
            f"unknown fit option(s) {unknown}; kelvara_lab.fit takes fixed, bounds, start, "
            f"search, seed, effort, check, noise_floor and {sorted(_KNOWN_OPTIONS)}"
        )
    if search not in SEARCHES:
        raise ValueError(f"search must be one of {list(SEARCHES)}, got {search!r}")
    spectrum = load(one_spectrum(data, z), run_checks=check)
    model = model_of(circuit)
    notation = notation_of(circuit)
    box, held = parameter_boxes(model, fixed or {}, bounds or {})
    user_start = start_values(model, start)
    method = fit_options.get("method", _LOCAL_METHOD)
    plain = not (fixed or bounds or user_start)
    if isinstance(model, EngineCircuit):
        if method != _LOCAL_METHOD:
            raise ValueError(
                f"kelvara's own method {method!r} knows the built-in elements only; a circuit "
                "with custom elements fits with the engine's least squares (search "
                "'thorough', 'quick' or 'local')"
            )
    elif method != _LOCAL_METHOD or (search == "local" and plain):
        if not plain:
            raise ValueError(
                f"fixed, bounds and start work with method {_LOCAL_METHOD!r}, got {method!r}"
            )
        return _kelvara_fit(model, notation, spectrum, fit_options, noise_floor)
    return _engine_fit(
        model,
        notation,
        spectrum,
        box,
        held,
        user_start,
        search,
        seed,
        effort,
        fit_options,
        noise_floor,
    )
