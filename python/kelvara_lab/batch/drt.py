"""DRTs of many spectra, one row each, on the executors `fit_many` uses (threads, processes,
a Dask client); the table goes to `write_results` like a fit table."""

from __future__ import annotations

import math
import warnings
from typing import Any

import pandas as pd

from kelvara_lab.batch.runner import (
    ID,
    Item,
    first_line,
    items_of,
    run_items,
    single_thread_pool,
    spectra_of,
    stopping,
    table_of,
)
from kelvara_lab.drt.misfit import DrtMisfitWarning
from kelvara_lab.drt.result import DrtResult
from kelvara_lab.drt.tikhonov import drt

_MAX_CHUNK = 100
SUMMARY = [
    "lambda",
    "r_inf / ohm",
    "inductance / H",
    "polarisation / ohm",
    "peaks",
    "misfit / %",
    "noise floor / %",
    "warning",
]
PEAK_FIELDS = [("tau", "s"), ("r", "ohm"), ("alpha", "-")]


Output = tuple[dict[str, Any], DrtResult | None]  # a row and, when kept, its result


def _failed(ident: str, text: str) -> Output:
    return {ID: ident, "error": text}, None


def _output_for(ident: str, source: Any, options: dict[str, Any], keep: bool) -> Output:
    try:
        with warnings.catch_warnings():
            # the result carries its misfit warning; the table shows it as a column
            warnings.simplefilter("ignore", DrtMisfitWarning)
            result = drt(source, **options)
    except Exception as error:  # noqa: BLE001 - any failure of one spectrum is its row's
        return _failed(ident, f"{type(error).__name__}: {first_line(error)}")
    row: dict[str, Any] = {
        ID: ident,
        "lambda": result.lambda_,
        "r_inf / ohm": result.r_inf,
        "inductance / H": math.nan if result.inductance is None else result.inductance,
        "polarisation / ohm": result.polarisation,
        "peaks": len(result.peaks),
        "misfit / %": result.misfit,
        "noise floor / %": result.noise_floor,
        "warning": "; ".join(result.warnings),
        "error": "",
    }
    for k, peak in enumerate(result.peaks.itertuples(), start=1):
        for name, unit in PEAK_FIELDS:
            row[f"peak{k} {name} / {unit}"] = getattr(peak, name)
    return row, result if keep else None


def _outputs_for(item: Item, options: dict[str, Any], keep: bool) -> list[Output]:
    try:
        parts = spectra_of(item)
    except Exception as error:  # noqa: BLE001 - any failure of one spectrum is its row's
        return [_failed(item[1], f"{type(error).__name__}: {first_line(error)}")]
    return [_output_for(ident, source, options, keep) for _, ident, source in parts]


def drt_chunk(
    items: list[Item], options: dict[str, Any], single_thread: bool, keep_results: bool = False
) -> list[tuple[int, list[Output]]]:
    """DRTs of a chunk of spectra; runs wherever the executor puts it."""
    if single_thread:
        single_thread_pool()
    out = []
    for item in items:
        if stopping():  # Ctrl-C during a threaded batch
            break
        out.append((item[0], _outputs_for(item, options, keep_results)))
    return out


def drt_table(
    spectra: Any,
    *,
    keep_results: bool = False,
    executor: Any = None,
    progress: bool = True,
    chunk_size: int | None = None,
    **drt_options: Any,
) -> tuple[pd.DataFrame, dict[str, DrtResult]]:
    """`drt_many`'s table, and with `keep_results` the DRT of every spectrum that has one,
    by the row's id (in row order)."""
    items = list(items_of(spectra))
    results = run_items(
        drt_chunk,
        items,
        lambda chunk, single_thread: (chunk, drt_options, single_thread, keep_results),
        _failed,
        executor=executor,
        progress=progress,
        description="DRT",
        max_chunk=_MAX_CHUNK,
        chunk_size=chunk_size,
    )
    table, kept = table_of(results, _columns)
    table["warning"] = table["warning"].fillna("").astype(str)
    table["peaks"] = table["peaks"].fillna(0).astype("int64")
    return table, kept


def _columns(rows: list[dict[str, Any]]) -> list[str]:
    """The summary, then as many peaks' columns as the row with the most peaks needs."""
    most = max((int(r.get("peaks", 0) or 0) for r in rows), default=0)
    peaks = [f"peak{k} {name} / {unit}" for k in range(1, most + 1) for name, unit in PEAK_FIELDS]
    return [ID, *SUMMARY, *peaks, "error"]


def drt_many(
    spectra: Any,
    *,
    executor: Any = None,
    progress: bool = True,
    chunk_size: int | None = None,
    **drt_options: Any,
) -> pd.DataFrame:
    """The DRT of every spectrum, one row each: lambda, R_inf, L, polarisation, the number
    of peaks, the misfit against the noise floor and the misfit warning (empty when the DRT
    reproduces the spectrum), each peak's tau, r and alpha ("peak1 tau / s", ...), and
    ``error``.

    `spectra` and `executor` are as for `fit_many`; `drt_options` go to `kl.drt`.
    """
    table, _ = drt_table(
        spectra, executor=executor, progress=progress, chunk_size=chunk_size, **drt_options
    )
    return table
