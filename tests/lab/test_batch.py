import json
import multiprocessing
import os
import subprocess
import sys
import zlib
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import get_context
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from fit_data import spectrum
from pandas.testing import assert_frame_equal

import kelvara_lab
from kelvara_lab.batch.fits import result_columns
from kelvara_lab.io import results


@pytest.fixture(scope="module")
def batch():
    spectra = [spectrum(seed=s, scale=1 + 0.02 * s) for s in range(6)]
    f, z = spectra[2]
    broken = z.copy()
    broken[5] = np.nan
    spectra[2] = (f, broken)  # fails its checks
    spectra[4] = "no/such/file.csv"  # unreadable
    return spectra


@pytest.fixture(scope="module")
def serial(batch):
    return kelvara_lab.fit_many("two_rq_l", batch, executor="serial", progress=False)


def test_every_spectrum_gets_its_row_and_failures_say_why(batch, serial):
    assert list(serial.columns) == result_columns("two_rq_l")
    assert list(serial["spectrum"]) == ["0", "1", "2", "3", "no/such/file.csv", "5"]
    assert list(serial["success"]) == [True, True, False, True, False, True]
    assert serial.loc[2, "error"].startswith("DataError: the data checks failed")
    assert serial.loc[4, "error"].startswith("FileNotFoundError")
    assert serial.loc[[2, 4], "R1.r / ohm"].isna().all()
    # A row holds exactly what fit() reports for that spectrum.
    report = kelvara_lab.fit("two_rq_l", batch[3])
    row = serial.loc[3]
    for name, unit, value, error in zip(
        report.names, report.units, report.values, report.stderr, strict=True
    ):
        assert row[f"{name} / {unit}"] == value and row[f"{name} stderr / {unit}"] == error
    assert row["chi_square"] == report.chi_square and row["bic"] == report.bic


def test_a_long_frame_splits_on_its_spectrum_column(batch):
    (f, z1), (_, z0) = batch[1], batch[0]
    frame = pd.DataFrame(
        {
            kelvara_lab.FREQUENCY: np.tile(f, 2),
            kelvara_lab.REAL: np.concatenate([z1, z0]).real,
            kelvara_lab.IMAGINARY: np.concatenate([z1, z0]).imag,
            "Spectrum": np.repeat([7, 3], f.size),
        }
    )
    table = kelvara_lab.fit_many("two_rq_l", frame, executor="serial", progress=False)
    assert list(table["spectrum"]) == ["7", "3"] and table["success"].all()


def test_fixed_parameters_reach_every_row(batch):
    table = kelvara_lab.fit_many(
        "two_rq_l", batch[:2], fixed={"R0.r": 0.02}, executor="threads", progress=False
    )
    assert (table["R0.r / ohm"] == 0.02).all() and table["R0.r stderr / ohm"].isna().all()


@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
def test_results_read_back_bit_for_bit(serial, tmp_path, suffix):
    path = tmp_path / f"results{suffix}"
    kelvara_lab.write_results(serial, path)
    assert_frame_equal(kelvara_lab.read_results(path), serial, check_exact=True)


def test_results_files_need_a_known_suffix(serial, tmp_path):
    with pytest.raises(ValueError, match="parquet or .csv"):
        kelvara_lab.write_results(serial, tmp_path / "results.xlsx")


def test_a_worker_lost_once_costs_no_rows(batch, serial):
    # The user's pool loses a worker to something else than a chunk: the chunk runs again.
    class Flaky(ProcessPoolExecutor):
        calls = 0

        def submit(self, fn, *args, **kwargs):
            Flaky.calls += 1
            if Flaky.calls == 1:
                return super().submit(os._exit, 3)  # the worker dies
            return super().submit(fn, *args, **kwargs)

    with Flaky(max_workers=1, mp_context=get_context("spawn")) as pool:
        table = kelvara_lab.fit_many(
            "two_rq_l", batch[:2], executor=pool, chunk_size=1, progress=False
        )
    assert_frame_equal(table, serial.iloc[:2], check_exact=True)


class _KillsItsWorker:
    """Frequencies whose reading ends the worker process that reads them (only a worker:
    Dask's scheduler, in this process, may unpickle what it passes on)."""

    def __array__(self, *args, **kwargs):
        if multiprocessing.parent_process() is not None:
            os._exit(7)
        raise AssertionError("read outside a worker")


def test_a_process_pool_gives_the_serial_numbers(batch, serial):
    with ProcessPoolExecutor(max_workers=2, mp_context=get_context("spawn")) as pool:
        table = kelvara_lab.fit_many("two_rq_l", batch, executor=pool, progress=False)
    assert_frame_equal(table, serial, check_exact=True)


def test_dask_local_cluster_with_two_worker_processes(batch, serial, dask_client):
    table = kelvara_lab.fit_many(
        "two_rq_l", batch, executor=dask_client, chunk_size=2, progress=False
    )
    pools = dask_client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
    assert_frame_equal(table, serial, check_exact=True)
    assert sorted(pools.values()) == ["1", "1"]


def test_a_task_submitted_again_to_dask_runs_again(dask_client):
    # A retry after a killed worker must run, not be answered from the first try's record.
    from kelvara_lab.batch.runner import executor_for

    pool, _, _ = executor_for(dask_client, 2)
    first, second = pool.submit(os.urandom, 8), pool.submit(os.urandom, 8)
    assert first.result(timeout=60) != second.result(timeout=60)


# After the cluster's own test: a killed worker comes back without a chunk run on it.
@pytest.mark.parametrize("where", ["processes", "dask"])
def test_a_spectrum_that_kills_its_worker_fails_alone(batch, serial, request, where):
    spectra = [*batch, *batch]
    spectra[7] = (_KillsItsWorker(), batch[0][1])
    executor = request.getfixturevalue("dask_client") if where == "dask" else where
    table = kelvara_lab.fit_many(
        "two_rq_l", spectra, executor=executor, chunk_size=4, progress=False
    )
    assert table.loc[7, "error"].startswith(("BrokenProcessPool", "KilledWorker"))
    assert not table.loc[7, "success"]
    expected = pd.concat([serial, serial], ignore_index=True)
    expected["spectrum"] = [batch[4] if i % 6 == 4 else str(i) for i in range(12)]
    assert_frame_equal(table.drop(index=7), expected.drop(index=7), check_exact=True)


@pytest.fixture(scope="module")
def awkward_ids(batch):
    # Texts a CSV reader would take for missing values or numbers stay the ids they are.
    ids = ["NaN", "", "nan", "None", "007", "1e3"]
    return kelvara_lab.fit_many(
        "two_rq_l", dict(zip(ids, batch, strict=True)), executor="serial", progress=False
    )


@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
def test_ids_keep_their_text_through_a_file(awkward_ids, tmp_path, suffix):
    path = tmp_path / f"results{suffix}"
    kelvara_lab.write_results(awkward_ids, path)
    back = kelvara_lab.read_results(path)
    assert list(back["spectrum"]) == ["NaN", "", "nan", "None", "007", "1e3"]
    assert_frame_equal(back, awkward_ids, check_exact=True)


@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
@pytest.mark.parametrize("kept", [0.5, 0.9, -1], ids=["half", "most", "all-but-a-byte"])
def test_a_cut_results_file_is_refused(serial, tmp_path, suffix, kept):
    path = tmp_path / f"results{suffix}"
    kelvara_lab.write_results(serial, path)
    whole = path.read_bytes()
    path.write_bytes(whole[: int(len(whole) * kept)] if kept > 0 else whole[:kept])
    with pytest.raises(kelvara_lab.ResultsFileError, match="results"):
        kelvara_lab.read_results(path)


def test_a_csv_without_its_stamp_is_refused(serial, tmp_path):
    path = tmp_path / "results.csv"
    serial.to_csv(path, index=False)
    with pytest.raises(kelvara_lab.ResultsFileError, match="has no stamp beside it"):
        kelvara_lab.read_results(path)


def test_a_results_csv_is_a_plain_table_and_older_files_still_read(serial, tmp_path):
    path = tmp_path / "results.csv"
    kelvara_lab.write_results(serial, path)
    plain = pd.read_csv(path)
    assert list(plain.columns) == list(serial.columns) and len(plain) == len(serial)
    assert_frame_equal(plain[["chi_square"]], serial[["chi_square"]], check_exact=True)
    # A file from before the stamp moved beside the table: the stamp as its first line.
    stamp = json.loads(results.stamp_path(path).read_text())
    body = path.read_bytes()
    stamp["crc32"] = zlib.crc32(body)
    results.stamp_path(path).unlink()
    path.write_bytes(b"# kelvara_lab results " + json.dumps(stamp).encode() + b"\n" + body)
    assert_frame_equal(kelvara_lab.read_results(path), serial, check_exact=True)


@pytest.mark.parametrize(
    ("edit", "message"),
    [
        (lambda s: s["columns"].update(chi_square="int64"), "has changed"),
        (lambda s: s["columns"].update(chi_square="float32"), "has changed"),
        (lambda s: s.update(rows=True), "has changed"),
        (lambda s: s.update(crc32="0"), "not a count"),
    ],
)
def test_an_edited_csv_stamp_is_refused(serial, tmp_path, edit, message):
    path = tmp_path / "results.csv"
    kelvara_lab.write_results(serial, path)
    stamp = json.loads(results.stamp_path(path).read_text())
    edit(stamp)
    results.stamp_path(path).write_text(json.dumps(stamp))
    with pytest.raises(kelvara_lab.ResultsFileError, match=message):
        kelvara_lab.read_results(path)


def test_a_flipped_bit_in_a_parquet_file_never_reads_as_other_numbers(serial, tmp_path):
    path = tmp_path / "results.parquet"
    kelvara_lab.write_results(serial, path)
    whole = bytearray(path.read_bytes())
    changed = 0
    for position in range(4, len(whole) - 8, max(1, len(whole) // 400)):
        flipped = whole.copy()
        flipped[position] ^= 1 << (position % 8)
        path.write_bytes(flipped)
        try:
            back = kelvara_lab.read_results(path)
        except kelvara_lab.ResultsFileError:
            changed += 1
            continue
        assert_frame_equal(back, serial, check_exact=True)
    assert changed > 0


class _FullDisk:
    """A file that takes a few hundred bytes, then reports a full disk."""

    def __init__(self, stream):
        self._stream, self._room = stream, 300

    def write(self, data):
        if len(data) > self._room:
            self._stream.write(bytes(data[: self._room]))
            raise OSError(28, "No space left on device")
        self._room -= len(data)
        return self._stream.write(data)

    def __getattr__(self, name):
        return getattr(self._stream, name)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._stream.close()


@pytest.mark.parametrize("suffix", [".parquet", ".csv"])
@pytest.mark.parametrize("failure", ["disk-full", "sync"])
def test_a_failed_write_leaves_the_previous_file(serial, tmp_path, monkeypatch, suffix, failure):
    path = tmp_path / f"results{suffix}"
    kelvara_lab.write_results(serial.iloc[:3], path)
    before = path.read_bytes()
    if failure == "disk-full":
        fdopen = os.fdopen
        monkeypatch.setattr(os, "fdopen", lambda *a, **k: _FullDisk(fdopen(*a, **k)))
    else:
        monkeypatch.setattr(os, "fsync", lambda fd: (_ for _ in ()).throw(OSError(5, "I/O")))
    with pytest.raises(OSError):
        kelvara_lab.write_results(serial, path)
    monkeypatch.undo()
    kept = {path.name, results.stamp_path(path).name} if suffix == ".csv" else {path.name}
    assert path.read_bytes() == before and set(os.listdir(tmp_path)) == kept
    assert_frame_equal(kelvara_lab.read_results(path), serial.iloc[:3], check_exact=True)


INTERRUPTED = """
import os, signal, sys, threading, time
import kelvara_lab
from kelvara_lab.batch import fits
from fit_data import spectrum

real, lock, sent = fits.fit, threading.Lock(), threading.Event()
returned, began_after = [], []

def counted(*args, **kwargs):
    if sent.is_set():
        began_after.append(1)
    report = real(*args, **kwargs)
    with lock:
        returned.append(1)
        if len(returned) == 3 and not sent.is_set():
            sent.set()
            os.kill(os.getpid(), signal.SIGINT)  # taken by whichever thread the system picks
            time.sleep(0.5)  # the batch has heard it: this chunk must start nothing more
    return report

fits.fit = counted
spectra = [spectrum(seed=s, scale=1 + 0.01 * s) for s in range(40)]
try:
    kelvara_lab.fit_many("two_rq_l", spectra, executor="threads", chunk_size=20, progress=False)
except kelvara_lab.BatchInterrupted as stop:
    print(len(stop.table), len(returned), len(began_after), flush=True)
    sys.exit(3)
print("finished", flush=True)
"""


def test_ctrl_c_stops_a_threaded_batch_and_keeps_what_finished():
    child = subprocess.run(
        [sys.executable, "-c", INTERRUPTED],
        capture_output=True,
        text=True,
        timeout=600,
        cwd=Path(__file__).parent,
    )
    assert child.returncode == 3, (child.stdout, child.stderr)
    rows, returned, began_after = map(int, child.stdout.split())
    # Only the other chunk may start one spectrum, in the instant before the batch heard it.
    assert began_after <= 1
    assert rows == returned and 3 <= rows < 40
