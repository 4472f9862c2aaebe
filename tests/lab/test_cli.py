"""The kelvara-lab command: reports per file, a non-zero status on failure."""

from click.testing import CliRunner
from lab_samples import sample

from kelvara_lab.cli import main


def run(*args):
    return CliRunner().invoke(main, [str(a) for a in args])


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


def test_help_lists_the_commands():
    done = run("--help")
    assert "inspect" in done.output and "validate" in done.output
