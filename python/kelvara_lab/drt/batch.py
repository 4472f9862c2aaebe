"""DRTs of many spectra, one row each, on the executors `fit_many` uses (threads, processes,
a Dask client); the table goes to `write_results` like a fit table."""

from __future__ import annotations

import math
import os
from concurrent.futures import Future, as_completed
from pathlib import Path
from typing import Any

import pandas as pd

from kelvara_lab.batch import (
    ID,
    Item,
    _executor,
    _first_line,
    _items,
    _single_thread_pool,
    _workers,
)
from kelvara_lab.columns import SPECTRUM
from kelvara_lab.drt.tikhonov import drt

_MAX_CHUNK = 100
SUMMARY = ["lambda", "r_inf / ohm", "inductance / H", "polarisation / ohm", "peaks"]
PEAK_FIELDS = [("tau", "s"), ("r", "ohm"), ("alpha", "-")]


def _rows_for(item: Item, options: dict[str, Any]) -> list[dict[str, Any]]:
    position, ident, source = item
    try:
        if isinstance(source, (str, os.PathLike)):
            from kelvara_lab.io import read, spectra

            parts = list(spectra(read(Path(source), check=False)))
            if len(parts) > 1:
                out = []
                for index, part in parts:
                    sub = (position, f"{ident}#{index}", part.drop(columns=[SPECTRUM]))
                    out.extend(_rows_for(sub, options))
                return out
            source = parts[0][1]
        result = drt(source, **options)
        peaks = result.peaks
    except Exception as error:  # noqa: BLE001 - any failure of one spectrum is its row's
        return [{ID: ident, "error": f"{type(error).__name__}: {_first_line(error)}"}]
    row: dict[str, Any] = {
        ID: ident,
        "lambda": result.lambda_,
        "r_inf / ohm": result.r_inf,
        "inductance / H": math.nan if result.inductance is None else result.inductance,
        "polarisation / ohm": result.polarisation,
        "peaks": len(peaks),
        "error": "",
    }
    for k, peak in enumerate(peaks.itertuples(), start=1):
        for name, unit in PEAK_FIELDS:
            row[f"peak{k} {name} / {unit}"] = getattr(peak, name)
    return [row]


def drt_chunk(
    items: list[Item], options: dict[str, Any], single_thread: bool
) -> list[tuple[int, list[dict[str, Any]]]]:
    """DRTs of a chunk of spectra; runs wherever the executor puts it."""
    if single_thread:
        _single_thread_pool()
    return [(item[0], _rows_for(item, options)) for item in items]


def drt_many(
    spectra: Any,
    *,
    executor: Any = None,
    progress: bool = True,
    chunk_size: int | None = None,
    **drt_options: Any,
) -> pd.DataFrame:
    """The DRT of every spectrum, one row each: lambda, R_inf, L, polarisation, the number
    of peaks and each peak's tau, r and alpha ("peak1 tau / s", ...), and ``error``.

    `spectra` and `executor` are as for `fit_many`; `drt_options` go to `kl.drt`.
    """
    items = list(_items(spectra))
    pool, owned, single_thread = _executor(executor, len(items))
    from tqdm.auto import tqdm

    bar = tqdm(total=len(items), disable=not progress, desc="DRT", unit="spectrum")
    results: dict[int, list[dict[str, Any]]] = {}
    try:
        if pool is None:
            for item in items:
                results.update(drt_chunk([item], drt_options, False))
                bar.update(1)
        else:
            size = chunk_size or max(
                1, min(_MAX_CHUNK, math.ceil(len(items) / (4 * _workers(pool))))
            )
            chunks = [items[i : i + size] for i in range(0, len(items), size)]
            futures: dict[Future[Any], list[Item]] = {
                pool.submit(drt_chunk, chunk, drt_options, single_thread): chunk for chunk in chunks
            }
            for future in as_completed(futures):
                chunk = futures[future]
                try:
                    results.update(future.result())
                except Exception as error:  # noqa: BLE001 - a lost task fails its rows only
                    text = f"{type(error).__name__}: {_first_line(error)}"
                    for position, ident, _ in chunk:
                        results[position] = [{ID: ident, "error": text}]
                bar.update(len(chunk))
    finally:
        bar.close()
        if owned and pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)
    rows = [row for position in sorted(results) for row in results[position]]
    most = max((int(r.get("peaks", 0) or 0) for r in rows), default=0)
    peak_columns = [
        f"peak{k} {name} / {unit}" for k in range(1, most + 1) for name, unit in PEAK_FIELDS
    ]
    table = pd.DataFrame(rows).reindex(columns=[ID, *SUMMARY, *peak_columns, "error"])
    table[ID] = table[ID].astype(str)
    table["error"] = table["error"].fillna("").astype(str)
    table["peaks"] = table["peaks"].fillna(0).astype("int64")
    return table
