"""Data checks find each fault in the rows where it is, and the helpers drop only openly."""

import numpy as np
import pandas as pd
import pytest

import kelvara_lab as kl
from kelvara_lab.spectrum.checks import check_arrays


def frame(f=None, z=None, **attrs):
    f = np.geomspace(1e5, 0.1, 20) if f is None else np.asarray(f, dtype=float)
    # R0 + L + (R, C): capacitive below about 1 kHz, inductive at the top few points.
    z = (
        0.1 + 1j * 2 * np.pi * f * 2e-7 + 1 / (1 / 0.5 + 1j * 2 * np.pi * f * 0.01)
        if z is None
        else z
    )
    out = pd.DataFrame({kl.FREQUENCY: f, kl.REAL: np.real(z), kl.IMAGINARY: np.imag(z)})
    out.attrs.update(attrs)
    return out


def codes(findings):
    return {item.code: item for item in findings}


def test_a_clean_capacitive_spectrum_has_no_findings():
    f = np.geomspace(1e4, 0.1, 20)
    assert kl.check(frame(f, 1 + 1 / (1 + 1j * f))) == []


def broken(column, rows, value):
    out = frame()
    out.loc[list(rows), column] = value
    return out


@pytest.mark.parametrize(
    ("data", "code", "severity", "rows"),
    [
        (broken(kl.REAL, [3, 7], np.nan), "non-finite", "error", (3, 7)),
        (broken(kl.IMAGINARY, [5], np.inf), "non-finite", "error", (5,)),
        (broken(kl.FREQUENCY, [19], 0.0), "non-positive-frequency", "error", (19,)),
        (broken(kl.FREQUENCY, [18], -1.0), "non-positive-frequency", "error", (18,)),
        (
            broken(kl.FREQUENCY, [10], frame()[kl.FREQUENCY][11]),
            "duplicate-frequency",
            "warning",
            (10, 11),
        ),
        (frame(), "inductive", "info", (0, 1, 2, 3, 4)),
        (frame(z=np.zeros(20)), "zero-impedance", "error", tuple(range(20))),
    ],
    ids=["nan", "inf", "zero-f", "negative-f", "duplicate", "inductive", "zero-z"],
)
def test_each_fault_is_found_in_its_rows(data, code, severity, rows):
    found = codes(kl.check(data))
    assert code in found, found
    assert (found[code].severity, found[code].rows) == (severity, rows)
    assert found[code].message
    # A fit handed (f, z) checks the arrays without a frame, and must find the same.
    f, re, im = (data[c].to_numpy(dtype=float) for c in (kl.FREQUENCY, kl.REAL, kl.IMAGINARY))
    assert check_arrays(f, re, im) == kl.check(data)


def test_minus_z_passed_through_reads_as_sign_flipped_not_inductive():
    data = frame()
    data[kl.IMAGINARY] *= -1
    found = codes(kl.check(data))
    assert "sign-flipped" in found and "inductive" not in found
    assert len(found["sign-flipped"].rows) > 10


@pytest.mark.parametrize(("factor", "flagged"), [(2 * np.pi, True), (1.0, False), (6.0, False)])
def test_angular_frequency_is_flagged_only_against_the_programmed_range(factor, flagged):
    f = np.geomspace(1e4, 1, 15)
    data = frame(f * factor, 1 + 1 / (1 + 1j * f), nominal_frequency_range=(1e4, 1.0))
    assert ("angular-frequency" in codes(kl.check(data))) == flagged
    data.attrs.clear()
    assert "angular-frequency" not in codes(kl.check(data))


def test_several_spectra_are_checked_one_by_one():
    a, b = frame(), frame()
    b.loc[4, kl.REAL] = np.nan
    both = pd.concat([a.assign(Spectrum=0), b.assign(Spectrum=1)], ignore_index=True)
    found = codes(kl.check(both))
    # Rows are positions in the whole frame; the shared frequencies are no duplicates.
    assert found["non-finite"].rows == (24,) and "spectrum 1" in found["non-finite"].message
    assert "duplicate-frequency" not in found


def test_helpers_return_new_frames_and_log_what_they_drop():
    data = broken(kl.REAL, [6], np.nan)
    data.attrs["findings"] = kl.check(data)
    before = data.copy()

    cropped = kl.crop(data, f_min=1.0, f_max=1e4)
    assert cropped[kl.FREQUENCY].between(1.0, 1e4).all()
    assert len(cropped) + len(cropped.attrs["dropped"][0]["rows"]) == len(data)

    clean = kl.drop_inductive(kl.drop_flagged(data))
    assert [d["reason"] for d in clean.attrs["dropped"]] == ["flagged: non-finite", "inductive"]
    assert clean.attrs["dropped"][0]["rows"] == (6,)
    assert kl.check(clean) == [] and clean.attrs["findings"] == []
    pd.testing.assert_frame_equal(data, before)

    with pytest.raises(ValueError, match="f_min"):
        kl.crop(data, f_min=10, f_max=1)


def test_a_frame_without_the_columns_is_refused():
    with pytest.raises(ValueError, match="Imaginary Impedance / ohm"):
        kl.check(pd.DataFrame({kl.FREQUENCY: [1.0], kl.REAL: [1.0]}))
