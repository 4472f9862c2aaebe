"""The kelvara-lab command: reports per file, the library's numbers, and an exit status that
says whether every file went through (1: a file failed, 2: bad options)."""

import concurrent.futures
import json
import re
import shutil
import subprocess
import sys
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from click.testing import CliRunner
from lab_samples import sample
from pandas.testing import assert_frame_equal

import kelvara
import kelvara_lab
import kelvara_lab.batch.fits
import kelvara_lab.fitting.run
import kelvara_lab.io.read
from kelvara_lab.circuit.notation import split_list
from kelvara_lab.cli.main import main
from kelvara_lab.io.columns import FREQUENCY, IMAGINARY, REAL

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
    done = run("validate", sample("pyimpspec/case-multiple-spectra.mpt"), "--plots", tmp_path)
    assert done.exit_code == 0, done.output
    rows = [line for line in done.output.splitlines() if "case-multiple-spectra.mpt" in line]
    assert len(rows) == 3 and all(row.endswith("pass") for row in rows)
    assert len(list(tmp_path.glob("case-multiple-spectra-*-kk.png"))) == 3


def test_validate_exits_non_zero_when_a_spectrum_fails():
    done = run("validate", sample("impedance.py/exampleDataGamry.DTA"))
    assert done.exit_code == 1 and "FAIL: noise" in done.output


def _few_points(folder):
    """Five points of an RC circuit: too few elements for mu to reach a low criterion."""
    f = np.logspace(3, 0, 5)
    z = kelvara.Circuit("rc").with_values([1, 2, 1e-3]).impedance(f)
    path = folder / "few.csv"
    pd.DataFrame({FREQUENCY: f, REAL: z.real, IMAGINARY: z.imag}).to_csv(path, index=False)
    return path


@pytest.mark.parametrize(
    "options, exit_code, verdict",
    [
        (["--max-noise", "0.1"], 1, r"FAIL: noise 0\.\d+ % above the 0\.1 % limit$"),
        # A mu that never falls below the criterion saw no over-fitting: the noise decides.
        (["--mu", "0.3"], 0, r"^pass$"),
    ],
    ids=["noise", "mu"],
)
def test_validate_says_why_a_spectrum_fails(tmp_path, options, exit_code, verdict):
    path = SPECTRUM if options[0] == "--max-noise" else _few_points(tmp_path)
    done = run("validate", path, *options, "--format", "json")
    assert done.exit_code == exit_code
    assert re.search(verdict, json.loads(done.stdout)[-1]["result"]), done.output


def test_fit_writes_results_report_and_picture_from_one_fit(tmp_path, monkeypatch):
    fits = []
    engine_fit = kelvara_lab.fitting.run._engine_fit
    monkeypatch.setattr(
        kelvara_lab.fitting.run, "_engine_fit", lambda *a: fits.append(a) or engine_fit(*a)
    )
    out = tmp_path / "results.csv"
    options = "--circuit two_rq_l --fix R0.r=0.021 --bound CPE1.alpha=0.5:1".split()
    result = run("fit", SPECTRUM, *options, "--out", out, "--plots", tmp_path)
    assert result.exit_code == 0, result.output
    assert len(fits) == 1  # the report and the picture come from the table's fit
    assert "[[Parameters]]" in result.output and "(fixed)" in result.output
    table = kelvara_lab.read_results(out)
    assert table.loc[0, "R0.r / ohm"] == 0.021 and bool(table.loc[0, "success"])
    assert (tmp_path / "battery_spectrum-0-fit.png").stat().st_size > 10_000


@pytest.mark.parametrize(
    "args, message",
    [
        (["--circuit", "R0-X1"], "unknown element code"),
        (["--circuit", "two_rql"], "unknown circuit 'two_rql' (did you mean 'two_rq_l'?)"),
        (["--circuit", "Randls"], "(did you mean 'randles'?)"),
        (["--circuit", "rq", "--method", "bogus"], 'unknown fit method "bogus"'),
        (["--circuit", "rq", "--fix", "R0.r"], "NAME=VALUE"),
        (["--circuit", "rq", "--fix", "R0.r=1", "--fix", "R0.r=2"], "R0.r is given twice"),
        (["--circuit", "rq", "--fix", "R9.r=1"], "did you mean"),
        (["--circuit", "rq", "--bound", "CPE1.alpha=0.5"], "LO:HI"),
        (["--circuit", "rq", "--out", "r.xlsx"], ".parquet or .csv"),
        (["--circuit", "rq", "--out", "{tmp}/no/such/r.csv"], "no folder"),
        (["--circuit", "rq", "--out", "{tmp}/folder.csv"], "is a folder"),
        (["--circuit", "rq", "--plots", "{spectrum}/pictures"], "cannot write into"),
        (["--circuit", "rq", "--workers", "2", "--scheduler", "tcp://127.0.0.1:1"], "not both"),
        (["--circuit", "rq", "--scheduler", "nonsense://here"], "cannot connect to"),
        (["--circuit", "rq", "{tmp}/missing.csv"], "does not exist"),
    ],
)
def test_fit_refuses_bad_options_files_and_places_before_any_fit(
    tmp_path, monkeypatch, args, message
):
    (tmp_path / "folder.csv").mkdir()
    fits = []
    monkeypatch.setattr(kelvara_lab.batch.fits, "fit_table", lambda *a, **k: fits.append(a))
    args = [a.format(tmp=tmp_path, spectrum=SPECTRUM) for a in args]
    result = run("fit", SPECTRUM, *args)
    assert result.exit_code == 2 and message in result.output, result.output
    assert "Traceback" not in result.output and fits == []


def test_fit_help_shows_every_default():
    shown = " ".join(run("fit", "--help").output.split())  # as one line, whatever the width
    assert "[default: (report for a single spectrum)]" in shown
    assert "[default: levenberg_marquardt]" in shown


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
    (tmp_path / "junk.csv").write_text("a,b\nx,y\n")
    result = run("fit", SPECTRUM, tmp_path / "junk.csv", "--circuit", "rq")
    assert result.exit_code == 1
    assert "junk.csv: error: ReadError" in result.output


def test_fit_labels_rows_by_file_name_and_keeps_paths_in_the_results(tmp_path):
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        shutil.copy(SPECTRUM, tmp_path / folder / "cell.csv")
    shutil.copy(SPECTRUM, tmp_path / "a" / "other.csv")
    files = [tmp_path / "a" / "cell.csv", tmp_path / "b" / "cell.csv", tmp_path / "a" / "other.csv"]
    out = tmp_path / "results.csv"
    result = run("fit", *files, "--circuit", "rq", "--out", out)
    assert result.exit_code == 0, result.output
    labels = [line.split()[0] for line in result.stdout.splitlines()[1:4]]
    # Two files share a name: those keep their paths; the third is known by its name.
    assert labels == [str(files[0]), str(files[1]), "other.csv"]
    assert list(kelvara_lab.read_results(out)["spectrum"]) == [str(f) for f in files]


@pytest.mark.parametrize(
    "options",
    [
        ["--circuit", "rq,R0-(R1,CPE1)-W2"],
        ["--circuit", "rq", "--circuit", "R0-(R1,CPE1)-W2"],
        ["--circuits", "rq, R0-(R1,CPE1)-W2"],
    ],
    ids=["one-list", "repeated", "old-spelling"],
)
def test_compare_ranks_candidates_split_outside_parentheses(options):
    result = run("compare", SPECTRUM, *options, "--format", "json")
    assert result.exit_code == 0, result.output
    rows = [row["circuit"] for row in json.loads(result.stdout)]
    assert sorted(rows) == ["R0-(R1,CPE1)-W2", "rq"]
    # The graded verdict: a status and the first finding on every row.
    for row in json.loads(result.stdout):
        assert row["status"] in ("pass", "warn", "fail") and row["finding"]
        assert row["trusted"] == (row["status"] == "pass")


@pytest.mark.parametrize(
    "args, message",
    [
        (["--circuit", "two_rql"], "(did you mean 'two_rq_l'?)"),
        (["--circuit", "rq,R0-(R1"], "--circuit"),
        (["{tmp}/missing.csv"], "does not exist"),
    ],
)
def test_compare_refuses_bad_candidates_and_missing_files_before_any_fit(tmp_path, args, message):
    result = run("compare", SPECTRUM, *(a.format(tmp=tmp_path) for a in args))
    assert result.exit_code == 2 and message in result.output, result.output


def test_compare_prints_its_tables_after_the_progress_bar():
    result = CliRunner().invoke(main, ["compare", SPECTRUM, SPECTRUM, "--circuit", "rq"])
    assert result.exit_code == 0, result.output
    assert "comparing" in result.stderr
    bar_end = result.output.rindex("comparing")
    assert bar_end < result.output.index(SPECTRUM), result.output


@pytest.mark.parametrize(
    "content, message",
    [
        (b"Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n1,2,\xff\n", "UTF-8"),
        (
            b"Frequency / Hz,frequency_hertz,Real Impedance / ohm,Imaginary Impedance / ohm\n"
            b"1,1,2,-1\n",
            "both name",
        ),
        (
            b"Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n1,2,-1\n2,x,-1\n",
            "holds 'x', not a number, in data row 1",
        ),
    ],
    ids=["invalid-utf8", "two-frequency-columns", "text-cell"],
)
@pytest.mark.parametrize("command", ["inspect", "validate", "compare"])
def test_unreadable_tables_are_one_line_errors(tmp_path, content, message, command):
    path = tmp_path / "bad.csv"
    path.write_bytes(content)
    result = run(command, path)
    assert result.exit_code == 1
    assert f"bad.csv: error: {path}: " in result.output and message in result.output
    assert result.exception is None or isinstance(result.exception, SystemExit)


def test_a_bare_value_error_from_a_reader_is_one_line(monkeypatch):
    def broken(path, **_):
        raise ValueError("the reader gave up")

    monkeypatch.setattr(kelvara_lab.io.read, "read", broken)
    result = run("inspect", SPECTRUM)
    assert result.exit_code == 1 and result.output == "Error: the reader gave up\n"


@pytest.mark.parametrize(
    "code, unwanted",
    [
        ("from kelvara_lab.cli.main import main", {"pandas", "numpy", "kelvara", "matplotlib"}),
        (
            f"import kelvara_lab; kelvara_lab.read({SPECTRUM!r})",
            {"pyimpspec", "impedance", "galvani", "matplotlib", "scipy", "dask", "tqdm"},
        ),
    ],
    ids=["help", "read-a-table"],
)
def test_the_command_line_imports_only_what_the_work_needs(code, unwanted):
    """--help answers in a tenth of a second and a BDF table reads without the instrument
    readers' libraries (pyimpspec alone costs seconds)."""
    probe = f"import sys; {code}; print(sorted({{m.split('.')[0] for m in sys.modules}}))"
    loaded = subprocess.run(
        [sys.executable, "-c", probe], capture_output=True, text=True, check=True, timeout=120
    ).stdout
    assert not {name for name in unwanted if f"'{name}'" in loaded}


@pytest.mark.parametrize(
    "texts, expected",
    [
        (["rq,two_rq"], ["rq", "two_rq"]),
        (["R0-(R1,CPE1)-(R2,CPE2)"], ["R0-(R1,CPE1)-(R2,CPE2)"]),
        (["rq, R0-p(R1,C1) ,", "randles"], ["rq", "R0-p(R1,C1)", "randles"]),
        ([" , "], []),
    ],
)
def test_candidates_split_only_at_top_level_commas(texts, expected):
    assert [name for text in texts for name in split_list(text)] == expected
