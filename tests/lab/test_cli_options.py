"""The options every kelvara-lab command shares: which points and spectra, where results go,
what is printed; each checked before any work, and what is printed fits a terminal."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pandas as pd
import pytest
from click.testing import CliRunner
from lab_samples import sample

import kelvara_lab
import kelvara_lab.batch.drt
import kelvara_lab.cli.selection
import kelvara_lab.validity.kk
from kelvara_lab.cli.main import main

SPECTRUM = str(Path(__file__).resolve().parents[2] / "examples" / "data" / "battery_spectrum.csv")
SPECTRA = ["inspect", "plot", "validate", "zhit", "fit", "compare", "drt", "identify"]
SELECTION = {"fmin", "fmax", "drop_inductive", "exclude", "spectrum"}
# Fast settings of the commands that otherwise search long.
QUICK = {
    "fit": ["--circuit", "rq", "--no-progress"],
    "compare": ["--circuit", "rq,rc", "--no-progress"],
    "identify": ["--max-elements", "4", "--elements", "R,CPE,L", "--no-progress"],
    "drt": ["--no-progress"],
}


def run(*args):
    return CliRunner().invoke(main, [str(a) for a in args])


@pytest.mark.parametrize("name", SPECTRA)
def test_every_command_takes_the_same_selection_and_output_options(name):
    params = {p.name for p in main.commands[name].params}
    assert SELECTION <= params
    if name != "inspect":
        assert {"plots", "format"} <= params
    if name not in ("inspect", "plot"):
        assert "out" in params


@pytest.mark.parametrize(
    "options, message",
    [
        (["--fmin", "100", "--fmax", "10"], "is above --fmax"),
        (["--fmin", "-1"], "above 0 Hz"),
        (["--exclude", "a-b"], "expected row numbers"),
        (["--exclude", "999"], "rows 0 to 53"),
        (["--spectrum", "2"], "holds spectra 0"),
        (["--out", "{tmp}/no/such/folder/r.csv"], "no folder"),
        (["--out", "{tmp}/r.txt"], ".parquet or .csv"),
        (["--plots", "{spectrum}/pictures"], "cannot write into"),
        (["--format", "html"], "'html' is not one of"),
        (["--criterion", "foo"], "'foo' is not one of"),
        (["--mode", "imaginary"], "'imaginary' is not one of"),
        (["--lambda", "-1"], "lambda must be >= 0"),
    ],
)
def test_drt_refuses_bad_options_before_any_work(tmp_path, monkeypatch, options, message):
    """drt printed a row of NaNs before failing on a bad criterion: now nothing runs."""
    monkeypatch.setattr(
        kelvara_lab.batch.drt, "drt_table", lambda *a, **k: pytest.fail("the work started")
    )
    options = [o.format(tmp=tmp_path, spectrum=SPECTRUM) for o in options]
    done = run("drt", SPECTRUM, *options)
    assert done.exit_code == 2, done.output
    assert message in done.output


@pytest.mark.parametrize("name", ["validate", "zhit", "compare", "identify", "plot"])
def test_bad_selections_fail_before_any_spectrum_is_tested(tmp_path, monkeypatch, name):
    monkeypatch.setattr(
        kelvara_lab.cli.selection.Selection, "pick", lambda *a: pytest.fail("files were read")
    )
    done = run(name, SPECTRUM, "--fmin", "10", "--fmax", "1")
    assert done.exit_code == 2 and "is above --fmax" in done.output


def _json(*args):
    done = run(*args, "--format", "json")
    assert done.exit_code in (0, 1), done.output
    return json.loads(done.stdout)


@pytest.mark.parametrize(
    "options, points",
    [
        ([], 54),
        (["--drop-inductive"], 51),
        (["--exclude", "0-2"], 51),
        (["--exclude", "0", "--exclude", "5,7"], 51),
        (["--fmin", "1", "--fmax", "1000"], 30),
    ],
)
def test_selections_choose_the_points_tested(options, points):
    assert _json("validate", SPECTRUM, *options)[0]["points"] == points


def test_spectrum_chooses_spectra_of_a_file_of_several():
    rows = _json("validate", sample("pyimpspec/case-multiple-spectra.mpt"), "--spectrum", "2")
    assert [row["spectrum"] for row in rows] == [2]


def test_inspect_reports_what_the_selection_dropped():
    done = run("inspect", SPECTRUM, "--drop-inductive")
    assert done.exit_code == 0
    assert "dropped  3 point(s), inductive" in done.output
    assert "spectra  1, 51 points" in done.output and "inductive (positive" not in done.output


@pytest.mark.parametrize("name", ["validate", "zhit", "fit", "compare", "drt", "identify"])
def test_printed_lines_fit_a_terminal_and_results_go_to_out(tmp_path, name):
    out = tmp_path / "results.csv"
    done = run(name, SPECTRUM, *QUICK.get(name, []), "--out", out)
    assert done.exit_code in (0, 1), done.output
    widest = max(len(line) for line in done.stdout.splitlines())
    assert widest <= 100, done.stdout
    table = kelvara_lab.read_results(out)
    assert len(table) >= 1


@pytest.mark.parametrize("form, marker", [("markdown", "|---"), ("latex", "\\begin{tabular}")])
def test_formats_print_tables_for_documents(form, marker):
    done = run("validate", SPECTRUM, "--format", form)
    assert done.exit_code == 0 and marker in done.stdout.replace(":", "-")


def test_fit_exits_non_zero_on_a_failed_verdict_only_when_strict():
    loose = run("fit", SPECTRUM, *QUICK["fit"])
    strict = run("fit", SPECTRUM, *QUICK["fit"], "--strict")
    assert "fail: " in loose.stdout
    assert (loose.exit_code, strict.exit_code) == (0, 1)
    assert "--strict" in run("fit", "--help").output


def test_a_circuit_error_keeps_the_caret_and_the_hint():
    done = run("fit", SPECTRUM, "--circuit", "R0-(R1,Q1)")
    assert done.exit_code == 2
    assert "unknown element code" in done.output and "^" in done.output


def test_compare_shows_verdicts_and_trust():
    rows = _json("compare", SPECTRUM, *QUICK["compare"])
    assert {"trusted", "verdict"} <= set(rows[0])
    plain = run("compare", SPECTRUM, *QUICK["compare"]).stdout
    assert "trusted" in plain and "noise floor" in plain


@pytest.mark.parametrize("view", ["nyquist-bode", "admittance", "capacitance"])
def test_plot_draws_the_data_alone(tmp_path, view):
    done = run("plot", SPECTRUM, "--view", view, "--plots", tmp_path)
    assert done.exit_code == 0, done.output
    assert (tmp_path / f"battery_spectrum-0-{view}.png").stat().st_size > 10_000


def test_zhit_judges_every_spectrum_and_draws_it(tmp_path):
    rows = _json("zhit", SPECTRUM, "--plots", tmp_path)
    assert rows[0]["result"] == "pass" and rows[0]["trend %"] <= rows[0]["limit %"]
    assert (tmp_path / "battery_spectrum-0-zhit.png").exists()
    assert run("zhit", SPECTRUM, "--window", "100", "10").exit_code == 2


def _command(*args, **popen):
    return subprocess.run(
        [str(Path(sys.executable).parent / "kelvara-lab"), *args],
        capture_output="stdout" not in popen,
        timeout=300,
        **popen,
    )


def test_closed_standard_output_is_an_error():
    done = _command("validate", SPECTRUM, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    assert done.returncode == 0  # a sink is fine
    closed = subprocess.run(
        f'exec 1>&-; "{Path(sys.executable).parent / "kelvara-lab"}" validate {SPECTRUM}',
        shell=True,
        capture_output=False,
        stderr=subprocess.PIPE,
        timeout=300,
    )
    assert closed.returncode == 1 and b"standard output is closed" in closed.stderr


def test_a_file_name_that_is_not_utf8_is_read_and_named(tmp_path):
    name = os.fsencode(tmp_path) + b"/spectrum-\xff.csv"
    with open(name, "wb") as stream:
        stream.write(Path(SPECTRUM).read_bytes())
    out = os.fsencode(tmp_path) + b"/out-\xfe.csv"
    done = _command("fit", name, "--circuit", "rq", "--no-progress", "--out", out)
    assert done.returncode == 0, done.stderr
    assert "spectrum-\ufffd.csv" in done.stdout.decode()  # named, its odd byte shown as such
    assert kelvara_lab.read_results(out.decode("utf-8", "surrogateescape"))["success"].all()


def test_results_read_back_as_plain_tables(tmp_path):
    out = tmp_path / "kk.parquet"
    assert run("validate", SPECTRUM, "--out", out).exit_code == 0
    assert list(pd.read_parquet(out)["points"]) == [54]


def test_plot_puts_a_files_spectra_together_or_apart(tmp_path):
    path = sample("pyimpspec/case-multiple-spectra.mpt")
    assert (
        run("plot", path, "--plots", tmp_path, "--spectrum", "0", "--spectrum", "2").exit_code == 0
    )
    assert run("plot", path, "--plots", tmp_path, "--together").exit_code == 0
    names = sorted(p.name for p in tmp_path.iterdir())
    assert names == [
        "case-multiple-spectra-0-nyquist-bode.png",
        "case-multiple-spectra-2-nyquist-bode.png",
        "case-multiple-spectra-all-nyquist-bode.png",
    ]
