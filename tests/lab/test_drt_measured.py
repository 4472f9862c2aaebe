"""The DRT as an analyst uses it: the ends model read from the data, lambda fitted to the
noise, the misfit warning, peaks that are relaxations, the circuit it suggests, and answers
that do not depend on the order of the rows. Measured spectra from tests/data/real-spectra."""

import warnings
from pathlib import Path

import numpy as np
import pytest

import kelvara
import kelvara_lab as kl

MEASURED = Path(__file__).resolve().parents[1] / "data" / "real-spectra"
F = np.logspace(5, -2, 71)


def noisy(notation, values, seed, f=F, noise=0.003):
    z = kelvara.Circuit(notation).with_values(values).impedance(f)
    rng = np.random.default_rng(seed)
    return f, z + noise * np.abs(z) * (
        rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)
    )


def measured(name):
    data = np.loadtxt(MEASURED / f"{name}.csv", delimiter=",", skiprows=1)
    return data[:, 0], data[:, 1] + 1j * data[:, 2]


def quiet_drt(data, **options):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", kl.DrtMisfitWarning)
        return kl.drt(data, check=False, **options)


@pytest.mark.parametrize(
    ("notation", "values", "ends", "suggested"),
    [
        ("R0-Zarc1", [0.01, 0.05, 1e-3, 0.85], ("R",), "R0-(R1,CPE1)"),
        ("L0-R0-Zarc1", [3e-7, 0.01, 0.05, 1e-3, 0.85], ("R", "L"), "L0-R0-(R1,CPE1)"),
        ("R0-Zarc1-W1", [0.01, 0.05, 1e-3, 0.85, 0.02], ("R", "W"), "R0-(R1,CPE1)-W2"),
        ("R0-Zarc1-C1", [0.01, 0.05, 1e-3, 0.9, 2.0], ("R", "C"), "R0-(R1,CPE1)-C2"),
        ("R0-K1-Zarc1", [0.01, 0.03, 1e-4, 0.05, 1e-1, 0.8], ("R",), "R0-(R1,C1)-(R2,CPE2)"),
    ],
    ids=["arc", "inductive", "warburg", "blocking", "ideal-and-depressed"],
)
def test_ends_and_suggestion_follow_the_spectrum(notation, values, ends, suggested):
    f, z = noisy(notation, values, seed=5)
    result = kl.drt((f, z))
    assert result.ends == ends, result.ends_reasons
    circuit, start = result.suggest_circuit()
    assert circuit == suggested
    assert list(start) == kelvara.Circuit(circuit).param_names()
    truth = kelvara.Circuit(notation).with_values(values).impedance(f)
    report = kl.fit(circuit, (f, z), start=start, search="local")
    fitted = kelvara.Circuit(circuit).with_values(list(report.params.values())).impedance(f)
    assert np.max(np.abs(fitted - truth) / np.abs(truth)) < 0.02


def test_a_resistor_has_no_arcs():
    f = np.logspace(5, -1, 40)
    rng = np.random.default_rng(1)
    z = 10.0 + 1e-3 * (rng.standard_normal(40) + 1j * rng.standard_normal(40))
    result = kl.drt((f, z))
    assert result.arcs == 0 and result.peaks.empty
    circuit, start = result.suggest_circuit()
    assert circuit == "R0"
    assert start["R0.r"] == pytest.approx(10.0, rel=1e-3)


@pytest.mark.parametrize("name", ["sofc_4x4cm_cell", "lfp_limetal_cycle120"])
def test_row_order_and_repeated_rows_change_nothing(name):
    f, z = measured(name)
    reference = quiet_drt((f, z))
    rng = np.random.default_rng(3)
    for _ in range(3):
        order = rng.permutation(f.size)
        shuffled = quiet_drt((f[order], z[order]))
        assert shuffled.lambda_ == reference.lambda_
        assert np.array_equal(shuffled.gamma, reference.gamma)
        assert shuffled.peaks.equals(reference.peaks)
        assert shuffled.suggest_circuit() == reference.suggest_circuit()
    repeated = quiet_drt((np.concatenate([f, f[:5]]), np.concatenate([z, z[:5]])))
    assert np.array_equal(repeated.gamma, reference.gamma)


def test_a_low_frequency_inductive_loop_is_reported_as_a_miss():
    """A fuel cell's low-frequency hook needs a negative distribution: the DRT cannot follow
    it, and says so, naming the low-frequency band."""
    f, z = measured("pemfc_lf_hook")
    with pytest.warns(kl.DrtMisfitWarning, match="misses the spectrum") as caught:
        result = kl.drt((f, z), check=False)
    assert result.misfit > 2 * result.noise_floor
    low, high = result.misfit_band
    assert low == f.min() and high < 100  # the hook spans the lowest decades
    assert result.warnings == (str(caught[0].message),)
    back = kl.DrtResult.from_json(result.to_json())
    assert back.misfit_band == result.misfit_band and back.warnings == result.warnings


@pytest.mark.parametrize(
    ("name", "arcs", "terms"),
    [
        # the analyst's best circuit by BIC: L0-R0-(R1,CPE1)-(R2,CPE2)-G1
        ("sofc_4x4cm_cell", 3, ("R", "L")),
        # aged Li-metal cell: two arcs, a diffusion tail only beginning at 1 Hz
        ("lfp_limetal_cycle120", 2, ("R", "W")),
        # two merged electrode arcs next to a long inductive tail (17 inductive points): the
        # DRT shows one broad peak, the fit to the measured impedance splits it
        ("sofc_blf_sym_700C_o2_100", 2, ("R", "L")),
    ],
)
def test_measured_cells_give_the_analysts_arcs(name, arcs, terms):
    f, z = measured(name)
    result = kl.drt((f, z), check=False)
    assert result.misfit <= 2 * result.noise_floor
    assert result.ends == terms
    assert result.arcs == arcs, result.peaks
    share = result.peaks["r"] / result.peaks["r"].sum()
    assert (share >= 0.01).all()


def test_html_shows_lambda_misfit_warning_and_peaks():
    f, z = measured("pemfc_lf_hook")
    result = quiet_drt((f, z))
    html = result._repr_html_()
    assert f"{result.lambda_:.4g} (chosen by noise)" in html
    assert "noise floor" in html and "the DRT misses the spectrum" in html
    assert html.count("<tr>") >= 6 + result.arcs
    assert "<script" not in html
