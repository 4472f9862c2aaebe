import concurrent.futures
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest
from click.testing import CliRunner
from pandas.testing import assert_frame_equal

import kelvara_lab
from kelvara_lab.cli import main

SPECTRUM = str(Path(__file__).resolve().parents[2] / "examples" / "data" / "battery_spectrum.csv")


def run(*args):
    return CliRunner().invoke(main, [*args, "--no-progress"])


def test_fit_writes_results_report_and_picture(tmp_path):
    out = tmp_path / "results.csv"
    result = run(
        "fit",
        SPECTRUM,
        "--circuit",
        "two_rq_l",
        "--fix",
        "R0.r=0.021",
        "--bound",
        "CPE1.alpha=0.5:1",
        "--out",
        str(out),
        "--plots",
        str(tmp_path),
    )
    assert result.exit_code == 0, result.output
    assert "[[Parameters]]" in result.output and "(fixed)" in result.output
    table = kelvara_lab.read_results(out)
    assert table.loc[0, "R0.r / ohm"] == 0.021 and bool(table.loc[0, "success"])
    assert (tmp_path / "battery_spectrum-0-fit.png").stat().st_size > 10_000


@pytest.mark.parametrize(
    "args, message",
    [
        (["--circuit", "R0-X1"], "unknown element code"),
        (["--circuit", "rq", "--fix", "R0.r"], "NAME=VALUE"),
        (["--circuit", "rq", "--fix", "R9.r=1"], "did you mean"),
        (["--circuit", "rq", "--bound", "CPE1.alpha=0.5"], "LO:HI"),
        (["--circuit", "rq", "--out", "r.xlsx"], ".parquet or .csv"),
        (["--circuit", "rq", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "not both"),
    ],
)
def test_fit_refuses_bad_options(args, message):
    result = run("fit", SPECTRUM, *args)
    assert result.exit_code == 2 and message in result.output


def _fit_chunk_tasks(dask_scheduler):
    prefix = dask_scheduler.task_prefixes.get("fit_chunk")
    return 0 if prefix is None else sum(prefix.state_counts.values())


@pytest.mark.parametrize("where", ["--workers", "--scheduler"])
def test_fit_on_workers_or_a_cluster_gives_the_serial_table(tmp_path, request, monkeypatch, where):
    files = [SPECTRUM, SPECTRUM]
    run("fit", *files, "--circuit", "rq", "--out", str(tmp_path / "serial.csv"))
    if where == "--workers":
        pools = []

        class Recorded(ProcessPoolExecutor):
            def __init__(self, **kwargs):
                pools.append(kwargs["max_workers"])
                super().__init__(**kwargs)

        monkeypatch.setattr(concurrent.futures, "ProcessPoolExecutor", Recorded)
        value = "2"
    else:
        client = request.getfixturevalue("dask_client")
        tasks_before = client.run_on_scheduler(_fit_chunk_tasks)
        value = client.scheduler_info()["address"]
    result = run("fit", *files, "--circuit", "rq", where, value, "--out", str(tmp_path / "t.csv"))
    assert result.exit_code == 0, result.output
    serial = kelvara_lab.read_results(tmp_path / "serial.csv")
    assert_frame_equal(kelvara_lab.read_results(tmp_path / "t.csv"), serial, check_exact=True)
    if where == "--workers":
        assert pools == [2]
    else:
        assert client.run_on_scheduler(_fit_chunk_tasks) > tasks_before


def test_fit_fails_with_status_1_when_a_spectrum_fails(tmp_path):
    result = run("fit", SPECTRUM, str(tmp_path / "missing.csv"), "--circuit", "rq")
    assert result.exit_code == 1
    assert "missing.csv: error: FileNotFoundError" in result.output


def test_compare_ranks_candidates_and_fails_on_unreadable_files(tmp_path):
    result = run("compare", SPECTRUM, "--circuits", "rq,two_rq_l")
    assert result.exit_code == 0, result.output
    lines = result.output.splitlines()
    assert lines[3].startswith("two_rq_l") and lines[4].startswith("rq")
    assert run("compare", str(tmp_path / "missing.csv")).exit_code == 1
