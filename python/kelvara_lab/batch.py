"""Many spectra, one circuit: a results table, on this machine's cores or on a Dask cluster.

Work travels as notation, options and plain arrays or paths (a ``kelvara.Circuit`` does not
pickle), in chunks large enough that the per-task cost of an executor stays small. Every
spectrum gets its row; a failure becomes the row's ``error`` text and never stops the batch.
"""

from __future__ import annotations

import math
import multiprocessing
import os
from collections import deque
from collections.abc import Callable, Iterable, Iterator, Mapping
from concurrent.futures import (
    FIRST_COMPLETED,
    BrokenExecutor,
    Executor,
    Future,
    ProcessPoolExecutor,
    ThreadPoolExecutor,
    as_completed,
    wait,
)
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

import kelvara
from kelvara_lab import results
from kelvara_lab.columns import FREQUENCY, IMAGINARY, REAL, SPECTRUM
from kelvara_lab.fitting import fit, no_network_warning_silenced, notation_of

ID = "spectrum"
STATISTICS = ["chi_square", "reduced_chi_square", "aic", "bic", "evaluations", "success", "verdict"]

# Below this many spectra a pool's start costs more than it saves. Threads beat spawned
# processes on two cores (10 000 two_rq_l spectra: 1.91x one core against 1.68x), since
# kelvara fits and guesses without the interpreter lock and threads need no start-up.
_SERIAL_BELOW = 8
_MAX_CHUNK = 250

Item = tuple[int, str, Any]  # (position, id, source): source is a path, a frame or (f, z)


def value_column(name: str, unit: str) -> str:
    return f"{name} / {unit}"


def stderr_column(name: str, unit: str) -> str:
    return f"{name} stderr / {unit}"


def result_columns(circuit: str) -> list[str]:
    """The columns of `fit_many`'s table for `circuit`, in order."""
    model = kelvara.Circuit(circuit)
    columns = [ID, "circuit"]
    for name, unit in zip(model.param_names(), model.param_units(), strict=True):
        columns += [value_column(name, unit), stderr_column(name, unit)]
    return [*columns, *STATISTICS, "error"]


def _single_thread_pool() -> None:
    # The module sizes its worker pool once, at its first parallel task: a process that
    # runs fits side by side with its siblings wants one thread each, set before that.
    os.environ.setdefault("RAYON_NUM_THREADS", "1")


def _first_line(error: BaseException) -> str:
    lines = str(error).splitlines()
    return lines[0] if lines else ""


def _rows_for(circuit: str, item: Item, options: dict[str, Any]) -> list[dict[str, Any]]:
    position, ident, source = item
    try:
        if isinstance(source, (str, os.PathLike)):
            from kelvara_lab.io import read, spectra

            frame = read(Path(source), check=False)
            parts = list(spectra(frame))
            if len(parts) > 1:
                out = []
                for index, part in parts:
                    sub = (position, f"{ident}#{index}", part.drop(columns=[SPECTRUM]))
                    out.extend(_rows_for(circuit, sub, options))
                return out
            source = parts[0][1]
        report = fit(circuit, source, **options)
    except Exception as error:  # noqa: BLE001 - any failure of one spectrum is its row's
        text = f"{type(error).__name__}: {_first_line(error)}"
        return [{ID: ident, "error": text, "success": False}]
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
    return [row]


def fit_chunk(
    circuit: str,
    items: list[Item],
    options: dict[str, Any],
    single_thread: bool,
    starts: dict[int, Any] | None = None,
) -> list[tuple[int, list[dict[str, Any]]]]:
    """Fit a chunk of spectra; runs wherever the executor puts it.

    `starts` maps an item's position to its own start values.
    """
    if single_thread:
        _single_thread_pool()
    out = []
    with no_network_warning_silenced():
        for item in items:
            own = options if starts is None else {**options, "start": starts[item[0]]}
            out.append((item[0], _rows_for(circuit, item, own)))
    return out


def _items(spectra: Any) -> Iterator[Item]:
    if isinstance(spectra, pd.DataFrame):
        if SPECTRUM not in spectra.columns:
            yield 0, "0", spectra
            return
        for position, (key, group) in enumerate(spectra.groupby(SPECTRUM, sort=False)):
            f = group[FREQUENCY].to_numpy(dtype=float)
            z = group[REAL].to_numpy(dtype=float) + 1j * group[IMAGINARY].to_numpy(dtype=float)
            yield position, str(key), (f, z)
        return
    if isinstance(spectra, (str, os.PathLike)):
        yield 0, str(spectra), spectra
        return
    pairs: Iterable[tuple[Any, Any]] = (
        spectra.items() if isinstance(spectra, Mapping) else enumerate(spectra)
    )
    for position, (key, source) in enumerate(pairs):
        if isinstance(source, (str, os.PathLike)) and not isinstance(spectra, Mapping):
            key = str(source)
        if isinstance(source, list) and len(source) == 2:
            source = tuple(source)
        yield position, str(key), source


def _process_pool(workers: int) -> ProcessPoolExecutor:
    # Spawned, not forked: a fork would copy the parent's running thread pool.
    context = multiprocessing.get_context("spawn")
    return ProcessPoolExecutor(
        max_workers=workers, mp_context=context, initializer=_single_thread_pool
    )


def _executor(executor: Any, count: int) -> tuple[Executor | None, bool, bool]:
    """(executor, made here so shut it down, whether its workers need a one-thread pool)."""
    if executor is None:
        executor = "serial" if count < _SERIAL_BELOW else "threads"
    if isinstance(executor, str):
        cores = os.cpu_count() or 1
        if executor == "serial":
            return None, False, False
        if executor == "threads":
            return ThreadPoolExecutor(max_workers=cores), True, False
        if executor == "processes":
            return _process_pool(cores), True, True
        raise ValueError(
            f"unknown executor {executor!r}: expected 'serial', 'threads', 'processes', "
            "a concurrent.futures.Executor or a dask.distributed Client"
        )
    if hasattr(executor, "get_executor") and not isinstance(executor, Executor):
        return executor.get_executor(), False, True  # a dask.distributed Client
    if isinstance(executor, Executor):
        return executor, False, not isinstance(executor, ThreadPoolExecutor)
    raise TypeError(
        f"executor must be None, a name, a concurrent.futures.Executor or a dask.distributed "
        f"Client, got {type(executor).__name__}"
    )


def _workers(executor: Executor) -> int:
    count = getattr(executor, "_max_workers", None)
    client = getattr(executor, "_client", None)
    if client is not None:
        count = max(1, sum(client.nthreads().values()))
    return int(count or os.cpu_count() or 1)


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


def _run_pooled(
    pool: Executor,
    chunks: list[list[Item]],
    arguments: Callable[[list[Item]], tuple[Any, ...]],
    record: Callable[[list[Item], Future[Any]], None],
) -> None:
    """Run `fit_chunk` on every chunk, at most one chunk per worker at a time, and `record`
    each.

    A worker process that dies breaks its whole pool: every chunk then in flight fails with
    ``BrokenProcessPool``, though one of them at most killed it. Those chunks run again,
    each on a one-worker pool of its own where a death can only be its chunk's; the chunks
    not yet started go on on a fresh pool.
    """
    limit = _workers(pool)
    pending = deque(chunks)
    running: dict[Future[Any], list[Item]] = {}
    replacement: ProcessPoolExecutor | None = None
    try:
        while pending or running:
            while pending and len(running) < limit:
                chunk = pending.popleft()
                running[pool.submit(fit_chunk, *arguments(chunk))] = chunk
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            if not any(_broke(pool, future) for future in done):
                for future in done:
                    record(running.pop(future), future)
                continue
            # The pool is gone, and with it whatever else it was running.
            wait(running)
            lost = [chunk for future, chunk in running.items() if _broke(pool, future)]
            for future, chunk in running.items():
                if not _broke(pool, future):
                    record(chunk, future)
            running.clear()
            _isolate(lost, arguments, record)
            if replacement is not None:
                replacement.shutdown(wait=True)
            pool = replacement = _process_pool(limit)
    finally:
        if replacement is not None:
            replacement.shutdown(wait=True, cancel_futures=True)


def _broke(pool: Executor, future: Future[Any]) -> bool:
    return isinstance(pool, ProcessPoolExecutor) and isinstance(future.exception(), BrokenExecutor)


def _isolate(
    chunks: list[list[Item]],
    arguments: Callable[[list[Item]], tuple[Any, ...]],
    record: Callable[[list[Item], Future[Any]], None],
) -> None:
    """Run each chunk on a one-worker pool of its own, side by side."""
    pools = {}
    try:
        for chunk in chunks:
            solo = _process_pool(1)
            pools[solo.submit(fit_chunk, *arguments(chunk))] = (chunk, solo)
        for future in as_completed(pools):
            record(pools[future][0], future)
    finally:
        for _, solo in pools.values():
            solo.shutdown(wait=True, cancel_futures=True)


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
    notation = notation_of(circuit)
    columns = result_columns(circuit)  # a bad circuit fails here, before any work
    items = list(_items(spectra))
    starts = _per_spectrum_starts(fit_options, len(items))
    pool, owned, single_thread = _executor(executor, len(items))
    from tqdm.auto import tqdm

    bar = tqdm(total=len(items), disable=not progress, desc="fitting", unit="spectrum")
    results: dict[int, list[dict[str, Any]]] = {}
    try:
        if pool is None:
            for item in items:
                results.update(fit_chunk(circuit, [item], fit_options, False, starts))
                bar.update(1)
        else:
            size = chunk_size or max(
                1, min(_MAX_CHUNK, math.ceil(len(items) / (4 * _workers(pool))))
            )
            chunks = [items[i : i + size] for i in range(0, len(items), size)]

            def arguments(chunk: list[Item]) -> tuple[Any, ...]:
                own = None if starts is None else {item[0]: starts[item[0]] for item in chunk}
                return circuit, chunk, fit_options, single_thread, own

            def record(chunk: list[Item], future: Future[Any]) -> None:
                error = future.exception()
                if error is None:
                    results.update(future.result())
                else:  # a lost task fails its rows only
                    text = f"{type(error).__name__}: {_first_line(error)}"
                    for position, ident, _ in chunk:
                        results[position] = [{ID: ident, "error": text, "success": False}]
                bar.update(len(chunk))

            _run_pooled(pool, chunks, arguments, record)
    finally:
        bar.close()
        if owned and pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)
    rows = [row for position in sorted(results) for row in results[position]]
    table = pd.DataFrame(rows).reindex(columns=columns)
    table["circuit"] = notation
    table[ID] = table[ID].astype(str)
    table["error"] = table["error"].fillna("").astype(str)
    table["success"] = table["success"].fillna(False).astype(bool)
    table["evaluations"] = table["evaluations"].fillna(0).astype("int64")
    return table


def write_results(table: pd.DataFrame, path: str | os.PathLike[str]) -> None:
    """Write a `fit_many` table to .parquet or .csv; the units live in the column names.

    The file is replaced whole or not at all, and carries its row count and columns for
    `read_results` to check (see `kelvara_lab.results`).
    """
    target = Path(path)
    suffix = target.suffix.lower()
    if suffix == ".parquet":
        results.write_parquet(table, target)
    elif suffix == ".csv":
        results.write_csv(table, target)
    else:
        raise ValueError(f"cannot write {target.name}: expected a .parquet or .csv file")


def read_results(path: str | os.PathLike[str]) -> pd.DataFrame:
    """Read a table written by `write_results`, giving back the same numbers bit for bit.

    Raises `ResultsFileError` for a file that is not whole: cut short, or with other rows or
    columns than it was written with.
    """
    source = Path(path)
    suffix = source.suffix.lower()
    if suffix == ".parquet":
        return results.read_parquet(source)
    if suffix == ".csv":
        return results.read_csv(source)
    raise ValueError(f"cannot read {source.name}: expected a .parquet or .csv file")
