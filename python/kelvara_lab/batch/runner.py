"""The pooled runner under every batch: where work runs (serially, on threads, processes or a
Dask client), how spectra become work items, and how a dying worker's damage is kept to its
own spectra.

Work travels as notation, options and plain arrays or paths (a ``kelvara.Circuit`` does not
pickle), in chunks large enough that the per-task cost of an executor stays small.
"""

from __future__ import annotations

import math
import multiprocessing
import os
import threading
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

import pandas as pd

from kelvara_lab.io.columns import FREQUENCY, IMAGINARY, REAL, SPECTRUM

# Below this many spectra a pool's start costs more than it saves. Threads beat spawned
# processes on two cores (10 000 two_rq_l spectra: 1.91x one core against 1.68x), since
# kelvara fits and guesses without the interpreter lock and threads need no start-up.
SERIAL_BELOW = 8

# The column naming each row's spectrum in every batch table.
ID = "spectrum"
Item = tuple[int, str, Any]  # (position, id, source): source is a path, a frame or (f, z)
Task = Callable[..., Any]  # a chunk's work: (chunk-specific arguments...) -> its rows


# Set by Ctrl-C during a threaded batch: its chunks stop before their next spectrum.
_stopping = threading.Event()


def stopping() -> bool:
    """Whether a batch in this process was interrupted: a chunk starts no more spectra."""
    return _stopping.is_set()


class BatchInterrupted(KeyboardInterrupt):
    """Ctrl-C during a batch: it stopped, and carries what finished.

    `finished` maps an item's position to its outputs; `table` holds the finished rows once
    the batch has built them (None until then).
    """

    def __init__(self, finished: dict[int, list[Any]], total: int) -> None:
        super().__init__(
            f"interrupted: {len(finished)} of {total} spectra finished; their rows are in "
            "this error's .table"
        )
        self.finished = finished
        self.table: pd.DataFrame | None = None


def single_thread_pool() -> None:
    # The module sizes its worker pool once, at its first parallel task: a process that
    # runs fits side by side with its siblings wants one thread each, set before that.
    os.environ.setdefault("RAYON_NUM_THREADS", "1")


def first_line(error: BaseException) -> str:
    lines = str(error).splitlines()
    return lines[0] if lines else ""


def spectra_of(item: Item) -> list[Item]:
    """The spectra an item stands for: a file of several spectra is one item per spectrum
    ("path#k"), read here, where the work runs."""
    position, ident, source = item
    if not isinstance(source, (str, os.PathLike)):
        return [item]
    from kelvara_lab.io.read import read, spectra

    parts = list(spectra(read(Path(source), check=False)))
    if len(parts) <= 1:  # none: the IndexError is the item's error, where it runs
        return [(position, ident, parts[0][1])]
    return [(position, f"{ident}#{index}", part.drop(columns=[SPECTRUM])) for index, part in parts]


def items_of(spectra: Any) -> Iterator[Item]:
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


def _process_pool(count: int) -> ProcessPoolExecutor:
    # Spawned, not forked: a fork would copy the parent's running thread pool.
    context = multiprocessing.get_context("spawn")
    return ProcessPoolExecutor(
        max_workers=count, mp_context=context, initializer=single_thread_pool
    )


def executor_for(executor: Any, count: int) -> tuple[Executor | None, bool, bool]:
    """(executor, made here so shut it down, whether its workers need a one-thread pool)."""
    if executor is None:
        executor = "serial" if count < SERIAL_BELOW else "threads"
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
        # Impure: a task's key is then fresh at every submission. A pure key is the hash of
        # its arguments, so a spectrum submitted again after its worker died would be
        # answered from the scheduler's record of that death, not run.
        return executor.get_executor(pure=False), False, True  # a dask.distributed Client
    if isinstance(executor, Executor):
        return executor, False, not isinstance(executor, ThreadPoolExecutor)
    raise TypeError(
        f"executor must be None, a name, a concurrent.futures.Executor or a dask.distributed "
        f"Client, got {type(executor).__name__}"
    )


def workers(executor: Executor) -> int:
    count = getattr(executor, "_max_workers", None)
    client = getattr(executor, "_client", None)
    if client is not None:
        count = max(1, sum(client.nthreads().values()))
    return int(count or os.cpu_count() or 1)


def run_pooled(
    task: Task,
    pool: Executor,
    chunks: list[list[Item]],
    arguments: Callable[[list[Item]], tuple[Any, ...]],
    record: Callable[[list[Item], Future[Any]], None],
) -> None:
    """Run `task` on every chunk, at most one chunk per worker at a time, and `record`
    each.

    A worker process that dies breaks its whole pool: every chunk then in flight fails with
    ``BrokenProcessPool``, though one spectrum at most killed it. Those chunks' spectra run
    again one at a time (`_one_at_a_time`), and the chunks not yet started go on on a fresh
    pool. A Dask client replaces a dead worker itself and fails only the chunk it ran
    (``KilledWorker``); that chunk's spectra run again one at a time on the client.
    """
    limit = workers(pool)
    pending = deque(chunks)
    running: dict[Future[Any], list[Item]] = {}
    killed: list[list[Item]] = []
    replacement: ProcessPoolExecutor | None = None
    try:
        while pending or running:
            while pending and len(running) < limit:
                chunk = pending.popleft()
                running[pool.submit(task, *arguments(chunk))] = chunk
            # A timeout, so that the main thread runs its signal handlers: a Ctrl-C taken by
            # a worker thread would otherwise wait for the next chunk to end.
            done, _ = wait(running, timeout=0.1, return_when=FIRST_COMPLETED)
            if not any(_broke(pool, future) for future in done):
                for future in done:
                    chunk = running.pop(future)
                    if _killed(future):
                        killed.append(chunk)
                    else:
                        record(chunk, future)
                continue
            # The pool is gone, and with it whatever else it was running.
            wait(running)
            lost = [chunk for future, chunk in running.items() if _broke(pool, future)]
            for future, chunk in running.items():
                if not _broke(pool, future):
                    record(chunk, future)
            running.clear()
            _one_at_a_time(task, lost, arguments, record, None)
            if replacement is not None:
                replacement.shutdown(wait=True)
            pool = replacement = _process_pool(limit)
        _one_at_a_time(task, killed, arguments, record, pool)
    except KeyboardInterrupt:
        if not isinstance(pool, ThreadPoolExecutor):
            raise
        # Threads cannot be killed: their chunks stop before the next spectrum, and the fit
        # in flight on each heeds Ctrl-C itself. What finished is kept.
        _stopping.set()
        for future in running:
            future.cancel()
        wait(running)
        for future, chunk in running.items():
            if not future.cancelled() and future.exception() is None:
                record(chunk, future)
        raise
    finally:
        if replacement is not None:
            replacement.shutdown(wait=True, cancel_futures=True)


def _broke(pool: Executor, future: Future[Any]) -> bool:
    return isinstance(pool, ProcessPoolExecutor) and isinstance(future.exception(), BrokenExecutor)


def _killed(future: Future[Any]) -> bool:
    # Named, not imported: Dask is optional.
    return type(future.exception()).__name__ == "KilledWorker"


def _one_at_a_time(
    task: Task,
    chunks: list[list[Item]],
    arguments: Callable[[list[Item]], tuple[Any, ...]],
    record: Callable[[list[Item], Future[Any]], None],
    client: Executor | None,
) -> None:
    """Run the spectra of lost chunks one per task, so that only a spectrum that kills its
    worker fails: on `client` (a Dask client's executor, which restarts its workers), or
    without one each chunk on a one-worker process pool of its own, side by side, made
    afresh after every death."""
    if client is not None:
        # Side by side first; a spectrum lost then may only have been queued on the worker
        # that another killed, so it runs once more with nothing beside it.
        alone = {client.submit(task, *arguments([item])): item for c in chunks for item in c}
        again = []
        for future in as_completed(alone):
            if _killed(future):
                again.append(alone[future])
            else:
                record([alone[future]], future)
        for item in again:
            # A worker that another spectrum killed may still be coming back: one more try
            # before the spectrum is taken for the culprit.
            for _ in range(2):
                future = client.submit(task, *arguments([item]))
                wait([future])
                if not _killed(future):
                    break
            record([item], future)
        return
    lanes = [deque(chunk) for chunk in chunks]
    solos: list[ProcessPoolExecutor | None] = [None] * len(lanes)
    running: dict[Future[Any], tuple[int, Item]] = {}

    def start(lane: int) -> None:
        if not lanes[lane]:
            return
        solo = solos[lane] = solos[lane] or _process_pool(1)
        item = lanes[lane].popleft()
        running[solo.submit(task, *arguments([item]))] = (lane, item)

    try:
        for lane in range(len(lanes)):
            start(lane)
        while running:
            done, _ = wait(running, return_when=FIRST_COMPLETED)
            for future in done:
                lane, item = running.pop(future)
                record([item], future)
                solo = solos[lane]
                if solo is not None and _broke(solo, future):
                    solo.shutdown(wait=True)
                    solos[lane] = None
                start(lane)
    finally:
        for solo in solos:
            if solo is not None:
                solo.shutdown(wait=True, cancel_futures=True)


def run_items(
    task: Task,
    items: list[Item],
    arguments: Callable[[list[Item], bool], tuple[Any, ...]],
    failed: Callable[[str, str], Any],
    *,
    executor: Any,
    progress: bool,
    description: str,
    max_chunk: int,
    chunk_size: int | None = None,
) -> dict[int, list[Any]]:
    """Run `task` over `items` where `executor` says, with a progress bar: position -> the
    outputs of that item, in order.

    `arguments(chunk, single_thread)` gives the task's arguments for a chunk; `task` returns
    (position, outputs) pairs. A chunk lost with its worker fails its items only, each as
    `failed(id, "ErrorType: message")`.
    """
    pool, owned, single_thread = executor_for(executor, len(items))
    from tqdm.auto import tqdm

    bar = tqdm(total=len(items), disable=not progress, desc=description, unit="spectrum")
    results: dict[int, list[Any]] = {}
    try:
        _run_items(
            task, items, arguments, failed, pool, single_thread, bar, results, max_chunk, chunk_size
        )
    except KeyboardInterrupt as error:
        if isinstance(error, BatchInterrupted):
            raise
        raise BatchInterrupted(results, len(items)) from None
    finally:
        bar.close()
        if owned and pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)
        _stopping.clear()
    return results


def _run_items(
    task: Task,
    items: list[Item],
    arguments: Callable[[list[Item], bool], tuple[Any, ...]],
    failed: Callable[[str, str], Any],
    pool: Executor | None,
    single_thread: bool,
    bar: Any,
    results: dict[int, list[Any]],
    max_chunk: int,
    chunk_size: int | None,
) -> None:
    """Fill `results` from `items`, serially or chunked on `pool`."""
    if pool is None:
        for item in items:
            results.update(task(*arguments([item], False)))
            bar.update(1)
    else:
        size = chunk_size or max(1, min(max_chunk, math.ceil(len(items) / (4 * workers(pool)))))
        chunks = [items[i : i + size] for i in range(0, len(items), size)]

        def record(chunk: list[Item], future: Future[Any]) -> None:
            error = future.exception()
            if error is None:
                results.update(future.result())
            else:
                text = f"{type(error).__name__}: {first_line(error)}"
                for position, ident, _ in chunk:
                    results[position] = [failed(ident, text)]
            bar.update(len(chunk))

        run_pooled(task, pool, chunks, lambda chunk: arguments(chunk, single_thread), record)


def table_of(
    results: dict[int, list[tuple[dict[str, Any], Any]]],
    columns: Callable[[list[dict[str, Any]]], list[str]],
) -> tuple[pd.DataFrame, dict[str, Any]]:
    """A batch's table from `run_items`' (row, kept) outputs, in the spectra's order, with
    the `columns` its rows call for; and the kept values (reports, DRTs) by the row's id.
    Every row has its id as text and an ``error`` ("" when the work ran)."""
    outputs = [out for position in sorted(results) for out in results[position]]
    rows = [row for row, _ in outputs]
    table = pd.DataFrame(rows).reindex(columns=columns(rows))
    table[ID] = table[ID].astype(str)
    table["error"] = table["error"].fillna("").astype(str)
    return table, {str(row[ID]): kept for row, kept in outputs if kept is not None}
