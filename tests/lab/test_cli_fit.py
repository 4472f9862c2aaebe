from pathlib import Path

import pytest
from click.testing import CliRunner

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
    ],
)
def test_fit_refuses_bad_options(args, message):
    result = run("fit", SPECTRUM, *args)
    assert result.exit_code == 2 and message in result.output


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
