"""Many spectra, one circuit: a results table, on this machine's cores or on a Dask cluster.

Every spectrum gets its row; a failure becomes the row's ``error`` text and never stops the
batch. The reports behind the rows come back too when asked (the command line prints and
draws them), so that no spectrum is fitted twice.
"""

from __future__ import annotations

import threading
from collections.abc import Mapping
from typing import Any

import numpy as np
import pandas as pd

from kelvara_lab.batch.runner import (
    ID,
    BatchInterrupted,
    Item,
    first_line,
    items_of,
    run_items,
    single_thread_pool,
    spectra_of,
    stopping,
    table_of,
)
from kelvara_lab.circuit.elements import ensure, used_by
from kelvara_lab.circuit.model import model_of
from kelvara_lab.circuit.notation import notation_of
from kelvara_lab.fitting.report import FitReport
from kelvara_lab.fitting.run import fit, no_network_warning_silenced

STATISTICS = ["chi_square", "reduced_chi_square", "aic", "bic", "evaluations", "success", "verdict"]
_MAX_CHUNK = 250

Output = tuple[dict[str, Any], FitReport | None]  # a row and, when kept, its report


def value_column(name: str, unit: str) -> str:
    return f"{name} / {unit}"


def stderr_column(name: str, unit: str) -> str:
    return f"{name} stderr / {unit}"


def result_columns(circuit: str) -> list[str]:
    """The columns of `fit_many`'s table for `circuit`, in order."""
    model = model_of(circuit)
    columns = [ID, "circuit"]
    for name, unit in zip(model.param_names(), model.param_units(), strict=True):
        columns += [value_column(name, unit), stderr_column(name, unit)]
    return [*columns, *STATISTICS, "error"]


def _failed(ident: str, text: str) -> Output:
    return {ID: ident, "error": text, "success": False}, None


def row_of(ident: str, report: FitReport) -> dict[str, Any]:
    """The table row of one fit."""
    row: dict[str, Any] = {ID: ident, "error": ""}
    for name, unit, value, spread in zip(
        report.names, report.units, report.values, report.stderr, strict=True
    ):
        row[value_column(name, unit)] = value
        row[stderr_column(name, unit)] = spread
    row.update(
        verdict=str(report.verdict) if report.verdict is not None else "",
        chi_square=report.chi_square,
        reduced_chi_square=report.reduced_chi_square,
        aic=report.aic,
        bic=report.bic,
        evaluations=report.evaluations,
        success=report.success,
    )
    return row


def _outputs_for(circuit: str, item: Item, options: dict[str, Any], keep: bool) -> list[Output]:
    try:
        parts = spectra_of(item)
    except Exception as error:  # noqa: BLE001 - any failure of one spectrum is its row's
        return [_failed(item[1], f"{type(error).__name__}: {first_line(error)}")]
    out = []
    for _, ident, source in parts:
        try:
            report = fit(circuit, source, **options)
        except Exception as error:  # noqa: BLE001 - any failure of one spectrum is its row's
            out.append(_failed(ident, f"{type(error).__name__}: {first_line(error)}"))
            continue
        out.append((row_of(ident, report), report if keep else None))
    return out


def fit_chunk(
    circuit: str,
    items: list[Item],
    options: dict[str, Any],
    single_thread: bool,
    starts: dict[int, Any] | None = None,
    keep_reports: bool = False,
    definitions: tuple[dict[str, Any], ...] = (),
) -> list[tuple[int, list[Output]]]:
    """Fit a chunk of spectra; runs wherever the executor puts it.

    `starts` maps an item's position to its own start values; `definitions` are the custom
    elements the circuit uses, defined here first (a worker process or a Dask worker has
    only what its work brings).
    """
    if single_thread:
        single_thread_pool()
    ensure(definitions)
    out = []
    with no_network_warning_silenced():
        for item in items:
            if stopping():
                break
            own = options if starts is None else {**options, "start": starts[item[0]]}
            try:
                out.append((item[0], _outputs_for(circuit, item, own, keep_reports)))
            except KeyboardInterrupt:
                # Off the main thread a fit stops this way on Ctrl-C: the chunk ends with
                # what finished. On the main thread the batch itself is interrupted.
                if threading.current_thread() is threading.main_thread():
                    raise
                break
    return out


def _per_spectrum_starts(options: dict[str, Any], count: int) -> dict[int, Any] | None:
    """Positions -> start when ``start`` is a list of starts, one per spectrum; pops it then."""
    start = options.get("start")
    if not isinstance(start, (list, tuple)) or not start:
        return None
    if not all(isinstance(s, (Mapping, list, tuple, np.ndarray)) for s in start):
        return None  # one flat sequence of values: one start for all
    if len(start) != count:
        raise ValueError(f"start: one start per spectrum needs {count}, got {len(start)}")
    options.pop("start")
    return dict(enumerate(start))


def fit_table(
    circuit: str,
    spectra: Any,
    *,
    keep_reports: bool = False,
    executor: Any = None,
    progress: bool = True,
    chunk_size: int | None = None,
    **fit_options: Any,
) -> tuple[pd.DataFrame, dict[str, FitReport]]:
    """`fit_many`'s table, and with `keep_reports` the report of every spectrum that was
    fitted, by the row's id (in row order)."""
    notation = notation_of(circuit)
    columns = result_columns(circuit)  # a bad circuit fails here, before any work
    items = list(items_of(spectra))
    starts = _per_spectrum_starts(fit_options, len(items))
    definitions = used_by(circuit)

    def arguments(chunk: list[Item], single_thread: bool) -> tuple[Any, ...]:
        own = None if starts is None else {item[0]: starts[item[0]] for item in chunk}
        return circuit, chunk, fit_options, single_thread, own, keep_reports, definitions

    try:
        results = run_items(
            fit_chunk,
            items,
            arguments,
            _failed,
            executor=executor,
            progress=progress,
            description="fitting",
            max_chunk=_MAX_CHUNK,
            chunk_size=chunk_size,
        )
    except BatchInterrupted as stop:
        stop.table, _ = _table(stop.finished, columns, notation)
        raise
    return _table(results, columns, notation)


def _table(
    results: dict[int, list[Output]], columns: list[str], notation: str
) -> tuple[pd.DataFrame, dict[str, FitReport]]:
    table, reports = table_of(results, lambda _: columns)
    table["circuit"] = notation
    table["success"] = table["success"].fillna(False).astype(bool)
    table["evaluations"] = table["evaluations"].fillna(0).astype("int64")
    return table, reports


def fit_many(
    circuit: str,
    spectra: Any,
    *,
    executor: Any = None,
    progress: bool = True,
    chunk_size: int | None = None,
    **fit_options: Any,
) -> pd.DataFrame:
    """Fit `circuit` to every spectrum and return one row per spectrum.

    `spectra` is an iterable (or a mapping id -> spectrum) of frames, file paths or
    ``(f, z)`` pairs, or one long frame with a "Spectrum" column. `executor` is None (on
    this machine: serial for a handful of spectra, else one thread per core), "serial",
    "threads", "processes", any ``concurrent.futures.Executor`` or a dask.distributed
    ``Client``. `fit_options` go to `kelvara_lab.fit` (``fixed``, ``bounds``, ``search``,
    ``method``...); ``start`` is one start for all (a mapping of names, or one value per
    parameter) or a list with one such start per spectrum, in order.
    Columns: the id, each parameter and its standard error ("R0.r / ohm", "R0.r stderr /
    ohm"), chi-square, reduced chi-square, AIC, BIC, evaluations, ``success`` and ``error``
    (empty when the fit ran).
    """
    table, _ = fit_table(
        circuit,
        spectra,
        executor=executor,
        progress=progress,
        chunk_size=chunk_size,
        **fit_options,
    )
    return table
