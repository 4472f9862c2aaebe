"""The kelvara-lab command: reports per file, the library's numbers, and an exit status that
says whether every file went through (1: a file failed, 2: bad options)."""

import concurrent.futures
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest
from click.testing import CliRunner
from lab_samples import sample
from pandas.testing import assert_frame_equal

import kelvara_lab
from kelvara_lab.cli import main

SPECTRUM = str(Path(__file__).resolve().parents[2] / "examples" / "data" / "battery_spectrum.csv")


def run(*args):
    """The command's result; fit and compare run without their progress bars."""
    quiet = ["--no-progress"] if args[0] in ("fit", "compare") else []
    return CliRunner().invoke(main, [*map(str, args), *quiet])


def test_inspect_reports_format_spectra_range_and_findings():
    done = run(
        "inspect",
        sample("pyimpspec/case-multiple-spectra.mpt"),
        sample("impedance.py/exampleDataGamryABORT.DTA"),
    )
    assert done.exit_code == 0, done.output
    assert "BioLogic mpt (read by pyimpspec" in done.output
    assert "3, 87 points" in done.output and "1 Hz to 1e+04 Hz" in done.output
    assert "warning  the file says the experiment was aborted" in done.output


def test_inspect_fails_on_an_unreadable_file(tmp_path):
    (tmp_path / "junk.csv").write_text("a,b\nx,y\n")
    done = run("inspect", sample("pyimpspec/data.mpt"), tmp_path / "junk.csv")
    assert done.exit_code == 1
    assert "junk.csv: error: cannot read junk.csv" in done.output
    assert "data.mpt" in done.output


def test_validate_prints_a_row_per_spectrum_and_plots(tmp_path):
    done = run("validate", sample("pyimpspec/case-multiple-spectra.mpt"), "--plot", tmp_path)
    assert done.exit_code == 0, done.output
    rows = [line for line in done.output.splitlines() if "case-multiple-spectra.mpt" in line]
    assert len(rows) == 3 and all(row.endswith("pass") for row in rows)
    assert len(list(tmp_path.glob("case-multiple-spectra-*-kk.png"))) == 3


def test_validate_exits_non_zero_when_a_spectrum_fails():
    done = run("validate", sample("impedance.py/exampleDataGamry.DTA"))
    assert done.exit_code == 1 and done.output.rstrip().endswith("FAIL")


def test_fit_writes_results_report_and_picture(tmp_path):
    out = tmp_path / "results.csv"
    options = "--circuit two_rq_l --fix R0.r=0.021 --bound CPE1.alpha=0.5:1".split()
    result = run("fit", SPECTRUM, *options, "--out", out, "--plots", tmp_path)
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
