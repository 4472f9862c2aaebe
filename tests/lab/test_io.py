"""Every sample format reads into BDF frames with the physics sign and the right spectra."""

import ast
import os
import subprocess
import sys
import time
from importlib import metadata
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from lab_samples import sample

import kelvara_lab as kl
from kelvara_lab.io.read import ReadError

# The pyimpspec samples hold one 29-point spectrum in many formats; each must read the same.
SAME_SPECTRUM = (
    "data.mpt data-metadata.mpt data.dta data.z data.P00 data.i2b data.idf data.pssession "
    "data-comma.csv data-semicolon.csv data-tab.csv data-space.csv "
    "data-comma-decimal-separator.csv data-header-variant-1.csv data-header-variant-2.csv "
    "data-header-variant-3.csv data-header-variant-4.csv case-negative-real-imaginary.csv"
).split()

# file, spectra, points, lowest and highest frequency (Hz), library
INSTRUMENT_FILES = [
    ("impedance.py/exampleDataGamry.DTA", 1, 72, 0.01589, 2.0002e5, "pyimpspec"),
    ("impedance.py/exampleDataGamryABORT.DTA", 1, 72, 0.01589, 2.0002e5, "pyimpspec"),
    ("impedance.py/exampleDataBioLogic.mpt", 1, 43, 0.016896, 1000.3, "pyimpspec"),
    ("impedance.py/exampleDataZPlot.z", 1, 21, 3.0e3, 3.0e5, "pyimpspec"),
    ("impedance.py/exampleDataZPlot_noComments.z", 1, 31, 300, 3.0e5, "impedance"),
    ("impedance.py/exampleDataAutolab.txt", 1, 41, 0.1, 1.0e4, "impedance"),
    ("impedance.py/exampleDataCHInstruments.txt", 1, 73, 0.1, 99610, "impedance"),
    ("impedance.py/exampleDataParstat.txt", 1, 31, 10, 1.0e4, "impedance"),
    ("impedance.py/exampleDataPowersuite.txt", 1, 30, 0.1, 2.0e6, "pyimpspec"),
    ("impedance.py/exampleDataVersaStudio.par", 1, 61, 0.021544, 1.0e5, "impedance"),
    ("pyimpspec/case-multiple-spectra.mpt", 3, 87, 1.0, 1.0e4, "pyimpspec"),
    ("pyimpspec/case-multiple-spectra.csv", 4, 116, 1.0, 1.0e4, "pandas"),
    ("pyimpspec/case-multiple-spectra-reverse.csv", 2, 58, 1.0, 1.0e4, "pandas"),
    ("pyimpspec/drift-corrected-data.dta", 2, 110, 0.10016, 1.0008e5, "pyimpspec"),
    ("pyimpspec/data.xlsx", 4, 116, 1.0, 1.0e4, "pyimpspec"),
    ("pyimpspec/data.ods", 4, 116, 1.0, 1.0e4, "pyimpspec"),
    ("pyimpspec/case-fragment.csv", 1, 6, 1389.5, 7196.9, "pandas"),
]


def test_one_spectrum_in_every_format_reads_the_same():
    reference = kl.read(sample("pyimpspec/data.z"))
    for name in SAME_SPECTRUM:
        frame = kl.read(sample("pyimpspec/" + name))
        assert list(frame.columns) == [kl.FREQUENCY, kl.REAL, kl.IMAGINARY], name
        # Some formats store 4 to 5 digits; 1e-3 still catches a sign, unit or decimal slip.
        np.testing.assert_allclose(frame.to_numpy(), reference.to_numpy(), rtol=1e-3, err_msg=name)
        assert frame.attrs["findings"] == [], name


@pytest.mark.parametrize(
    ("name", "count", "points", "f_min", "f_max", "library"),
    INSTRUMENT_FILES,
    ids=[row[0].split("/")[1] for row in INSTRUMENT_FILES],
)
def test_instrument_exports(name, count, points, f_min, f_max, library):
    frame = kl.read(sample(name))
    f = frame[kl.FREQUENCY]
    assert (len(frame), frame.attrs["spectra"]) == (points, count)
    assert f.min() == pytest.approx(f_min, rel=1e-3) and f.max() == pytest.approx(f_max, rel=1e-3)
    assert frame.attrs["reader"].startswith(library)
    # Capacitive arcs: the imaginary part is negative over most of every spectrum.
    assert (frame[kl.IMAGINARY] < 0).mean() > 0.6
    if count > 1:
        assert frame[kl.SPECTRUM].dtype.kind == "i"
        # Numbered from 0, as fit_many's row ids ("file#0", ...) and spectra() give them.
        assert frame[kl.SPECTRUM].unique().tolist() == list(range(count))
        assert frame.groupby(kl.SPECTRUM).size().tolist() == [points // count] * count
    else:
        assert kl.SPECTRUM not in frame.columns


def test_gamry_header_reaches_attrs_and_checks():
    aborted = kl.read(sample("impedance.py/exampleDataGamryABORT.DTA"))
    assert aborted.attrs["nominal_frequency_range"] == (5e6, 1e-3)
    assert [f.code for f in aborted.attrs["findings"]] == ["aborted"]
    assert "aborted" not in kl.read(sample("impedance.py/exampleDataGamry.DTA")).attrs


@pytest.mark.parametrize(
    "names",
    [
        ("Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"),
        ("frequency_hertz", "real_impedance_ohm", "imaginary_impedance_ohm"),
    ],
    ids=["bdf", "snake"],
)
def test_tables_with_bdf_headers(tmp_path, names):
    f = np.geomspace(1e4, 1, 9)
    z = 1 + 1 / (1 + 1j * f)
    table = pd.DataFrame(
        {
            names[0]: np.tile(f, 2),
            names[1]: np.tile(z.real, 2),
            names[2]: np.tile(z.imag, 2),
            "Spectrum": np.repeat([0, 1], 9),
        }
    )
    table.to_csv(tmp_path / "bdf.csv", sep=";", index=False)
    frame = kl.read(tmp_path / "bdf.csv")
    assert frame.attrs["spectra"] == 2 and frame.attrs["reader"].startswith("pandas")
    np.testing.assert_allclose(frame[kl.IMAGINARY].to_numpy(), table[names[2]].to_numpy())


def test_unreadable_files_raise_clear_errors(tmp_path):
    with pytest.raises(ReadError, match="exampleDataBioLogic_MissingFreq.mpt.*frequency"):
        kl.read(sample("impedance.py/exampleDataBioLogic_MissingFreq.mpt"))
    (tmp_path / "notes.txt").write_text("nothing to see\n")
    with pytest.raises(ReadError, match="cannot read notes.txt"):
        kl.read(tmp_path / "notes.txt")
    with pytest.raises(FileNotFoundError):
        kl.read(tmp_path / "absent.mpt")


def test_importing_the_core_pulls_in_nothing_from_the_lab():
    code = (
        "import sys, kelvara; heavy = {'pandas', 'matplotlib', 'kelvara_lab', 'click', "
        "'pyimpspec', 'impedance'} & set(sys.modules); assert not heavy, heavy"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def test_every_public_name_loads_on_first_use():
    # What type checkers see (the TYPE_CHECKING imports) is what the package serves.
    tree = ast.parse(Path(kl.__file__).read_text())
    guarded = next(n for n in tree.body if isinstance(n, ast.If))
    typed = {
        alias.asname
        for node in guarded.body
        if isinstance(node, ast.ImportFrom)
        for alias in node.names
    }
    assert typed == set(kl.__all__)
    for name in kl.__all__:
        getattr(kl, name)  # each resolves in its module
    # A submodule that shares a public name does not replace it once imported.
    from kelvara_lab.fitting.compare import compare

    assert kl.compare is compare
    assert kl.ReadError is ReadError and set(kl.__all__) <= set(dir(kl))
    assert kl.__version__ == metadata.version("kelvara")
    with pytest.raises(AttributeError, match="no attribute 'reed'"):
        kl.reed  # noqa: B018


def test_mpr_records_become_spectra_with_the_physics_sign(tmp_path, monkeypatch):
    # No .mpr sample can be shipped; galvani's parsed records stand in for one.
    from galvani import BioLogic

    records = np.array(
        [(1e3, 1.0, 0.5, 1), (1e2, 2.0, 1.5, 1), (1e1, 3.0, 2.5, 1), (1e3, 1.1, 0.6, 2)]
        + [(1e2, 2.1, 1.6, 2), (1e1, 3.1, 2.6, 2)],
        dtype=[("freq/Hz", float), ("Re(Z)/Ohm", float), ("-Im(Z)/Ohm", float)]
        + [("cycle number", int)],
    )
    monkeypatch.setattr(BioLogic, "MPRfile", lambda path: type("Mpr", (), {"data": records}))
    (tmp_path / "cell.mpr").write_bytes(b"stand-in")
    frame = kl.read(tmp_path / "cell.mpr", check=False)
    assert frame.attrs["spectra"] == 2
    np.testing.assert_array_equal(frame[kl.REAL].to_numpy(), records["Re(Z)/Ohm"])
    np.testing.assert_array_equal(frame[kl.IMAGINARY].to_numpy(), -records["-Im(Z)/Ohm"])


# (sample, bytes kept from the end of its last row): each copy ends inside a number.
CUT_SAMPLES = [
    ("pyimpspec/data.mpt", "0.000"),
    ("impedance.py/exampleDataBioLogic.mpt", "1.2110"),
    ("pyimpspec/data.i2b", "-9"),
    ("impedance.py/exampleDataAutolab.txt", "-0.0039"),
    ("pyimpspec/data-comma.csv", "-9"),
    ("pyimpspec/case-multiple-spectra.csv", "-90.6"),
]


@pytest.mark.parametrize(("name", "tail"), CUT_SAMPLES, ids=[c[0] for c in CUT_SAMPLES])
def test_a_file_cut_inside_its_last_row_is_an_error_naming_the_row(tmp_path, name, tail):
    whole = sample(name).read_bytes()
    complete = kl.read(sample(name))
    assert not [f for f in complete.attrs["findings"] if f.code == "truncated"]
    last = whole.rstrip(b"\r\n").rsplit(b"\n", 1)[1]
    cut_at = whole.rstrip(b"\r\n").rindex(tail.encode()) + len(tail)
    assert cut_at > len(whole.rstrip(b"\r\n")) - len(last), "the cut must fall in the last row"
    path = tmp_path / sample(name).name
    path.write_bytes(whole[:cut_at])
    frame = kl.read(path)
    errors = [f for f in frame.attrs["findings"] if f.severity == "error"]
    assert [f.code for f in errors] == ["truncated"]
    assert errors[0].rows == (len(frame) - 1,) and f"row {len(frame) - 1}" in errors[0].message
    with pytest.raises(kl.DataError, match="cut short"):
        kl.fit("R0-p(R1,C1)", list(kl.spectra(frame))[-1][1])


@pytest.mark.parametrize(
    ("name", "code", "severity"),
    [
        ("pyimpspec/data.i2b", "truncated", "error"),
        # Autolab's count is the sweep's programmed one: a sweep stopped early falls short too.
        ("impedance.py/exampleDataAutolab.txt", "short-sweep", "warning"),
    ],
    ids=["i2b", "autolab"],
)
def test_rows_missing_below_the_announced_count(tmp_path, name, code, severity):
    lines = sample(name).read_bytes().splitlines(keepends=True)
    path = tmp_path / sample(name).name
    path.write_bytes(b"".join(lines[:-3]))
    found = [f for f in kl.read(path).attrs["findings"] if f.code == code]
    assert len(found) == 1 and found[0].severity == severity
    assert "announces" in found[0].message or "programs" in found[0].message


def test_a_cut_names_only_the_spectrum_it_falls_in(tmp_path):
    whole = sample("pyimpspec/case-multiple-spectra.csv").read_bytes()
    (tmp_path / "cut.csv").write_bytes(whole[: whole.rindex(b"-90.6") + 5])
    parts = list(kl.spectra(kl.read(tmp_path / "cut.csv")))
    assert [[f.code for f in kl.check(part)] for _, part in parts] == [[], [], [], ["truncated"]]
    last = parts[-1][1]
    assert kl.check(last)[0].rows == (len(last) - 1,)
    assert kl.check(kl.drop_flagged(last)) == []


BDF_HEADER = "Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm"


@pytest.mark.parametrize(
    ("header", "separator", "points"),
    [
        (BDF_HEADER, "\n", 100_000),  # the data of every row on one line of 2.7 MB
        (BDF_HEADER, ",", 100_000),  # header and data on one line
        ("f,Z',Z''", "\n", 100_000),  # the same, left to pyimpspec
        (BDF_HEADER, "\n", 100),  # a short line, wider than the header
    ],
    ids=["bdf-data-line", "bdf-one-line", "plain-data-line", "bdf-wide-row"],
)
def test_data_on_one_line_is_refused_at_once(tmp_path, header, separator, points):
    values = np.random.default_rng(1).uniform(1, 100, 3 * points)
    path = tmp_path / "one-line.csv"
    path.write_text(header + separator + ",".join(f"{v:.6f}" for v in values) + "\n")
    start = time.perf_counter()
    with pytest.raises(ReadError, match="one-line.csv"):
        kl.read(path)
    assert time.perf_counter() - start < 2


@pytest.mark.parametrize("kind", ["folder", "pipe"])
def test_a_folder_or_a_pipe_is_named_as_such_not_as_missing(tmp_path, kind):
    target = tmp_path / "spectrum.csv"
    if kind == "folder":
        target.mkdir()
    else:
        os.mkfifo(target)
    with pytest.raises(kl.ReadError, match=kind if kind == "folder" else "not a regular file"):
        kl.read(target)
