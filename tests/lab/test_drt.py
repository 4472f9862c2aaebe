"""The DRT: its matrices against quadrature, its exact non-negative solution at every lambda,
Zarc spectra with known answers, the circuit it suggests, and its JSON form."""

import math
import warnings
from pathlib import Path

import numpy as np
import pytest
import scipy.integrate
from lab_samples import sample

import kelvara
import kelvara_lab as kl
from kelvara_lab.batch.drt import drt_many
from kelvara_lab.drt import basis
from kelvara_lab.drt.peaks import zarc_gamma, zarc_width
from kelvara_lab.drt.system import assemble, regularised_gram, weights_for
from kelvara_lab.io.results import read_results, write_results

F = np.logspace(5, -2, 71)
BATTERY = Path(__file__).resolve().parents[2] / "examples" / "data" / "battery_spectrum.csv"
SAMPLES = [
    "pyimpspec/data.mpt",
    "impedance.py/exampleDataGamry.DTA",
    "impedance.py/exampleDataBioLogic.mpt",
    "pyimpspec/drift-corrected-data.dta",
]


def noisy(notation, values, seed, f=F, noise=0.005):
    z = kelvara.Circuit(notation).with_values(values).impedance(f)
    rng = np.random.default_rng(seed)
    return f, z + noise * np.abs(z) * (
        rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size)
    )


def measured(name):
    frame = next(kl.spectra(kl.read(sample(name))))[1]
    return frame[kl.FREQUENCY].to_numpy(), (frame[kl.REAL] + 1j * frame[kl.IMAGINARY]).to_numpy()


@pytest.mark.parametrize("coefficient", [0.5, 2.0])
@pytest.mark.parametrize(("n", "m"), [(0, 0), (10, 40), (40, 12), (70, 70)])
def test_matrices_match_adaptive_quadrature(n, m, coefficient):
    eps = basis.shape_parameter(F, coefficient, "fwhm")
    centres = basis.centres(F)
    a_re, a_im = basis.impedance_matrices(F, centres, eps)
    w, c = 2 * np.pi * F[n], centres[m]

    def kernel(y, part):
        phi = np.exp(-((eps * (y - c)) ** 2))
        wt = w * np.exp(y)
        return phi / (1 + wt * wt) if part == "re" else -phi * wt / (1 + wt * wt)

    span = (c - 8 / eps, c + 8 / eps)
    for part, ours in (("re", a_re[n, m]), ("im", a_im[n, m])):
        expected = scipy.integrate.quad(kernel, *span, args=(part,), epsabs=1e-16, limit=200)[0]
        assert ours == pytest.approx(expected, rel=1e-9, abs=1e-15)


@pytest.mark.parametrize("order", [0, 1, 2])
def test_penalty_is_the_integral_of_squared_derivatives(order):
    centres = np.array([0.0, 0.3, 1.1])
    eps = 2.0
    gram = basis.penalty_matrix(centres, eps, order)
    y = np.linspace(-10, 11, 200_001)

    def derivative(c):
        u = eps * (y - c)
        phi = np.exp(-(u**2))
        return [phi, -2 * eps * u * phi, 2 * eps**2 * (2 * u**2 - 1) * phi][order]

    for i, j in [(0, 0), (0, 1), (1, 2)]:
        numeric = np.trapezoid(derivative(centres[i]) * derivative(centres[j]), y)
        assert gram[i, j] == pytest.approx(numeric, rel=1e-6)


@pytest.mark.parametrize("alpha", [0.6, 0.8, 0.95])
def test_zarc_shape_is_the_drt_of_a_zarc(alpha):
    """Integrating the shape against the relaxation kernel gives kelvara's Zarc impedance."""
    r, tau0 = 2.0, 1e-2
    for f in (0.3, 15.9, 400.0):
        w = 2 * np.pi * f

        def kernel(y, part, w=w):
            z = zarc_gamma(np.array([y - math.log(tau0)]), r, alpha)[0] / (1 + 1j * w * math.exp(y))
            return z.real if part == "re" else z.imag

        value = complex(
            *(scipy.integrate.quad(kernel, -60, 60, args=(p,), limit=400)[0] for p in ("re", "im"))
        )
        expected = kelvara.Circuit("Zarc0").with_values([r, tau0, alpha]).impedance([f])[0]
        assert value == pytest.approx(expected, rel=1e-7)
    s = np.linspace(-80, 80, 400_001)
    assert np.trapezoid(zarc_gamma(s, r, alpha), s) == pytest.approx(r, rel=1e-4)
    half = zarc_width(alpha) * math.log(10) / 2
    assert zarc_gamma(np.array([half]), r, alpha)[0] == pytest.approx(
        zarc_gamma(np.zeros(1), r, alpha)[0] / 2
    )


# (notation, values, resistance tolerance): Zarcs 1.5 to 3 decades apart, alpha 0.75 to 1.
ZARCS = [
    ("R0-Zarc1", [0.01, 0.05, 1e-3, 0.9], 0.05),
    ("R0-Zarc1", [0.01, 0.02, 3e-2, 0.75], 0.05),
    ("R0-Zarc1", [0.01, 0.08, 1e-4, 1.0], 0.05),
    ("R0-Zarc1-Zarc2", [0.01, 0.05, 1e-4, 0.9, 0.02, 1e-1, 0.8], 0.10),
    ("R0-Zarc1-Zarc2", [0.01, 0.01, 1e-3, 0.95, 0.08, 3e-2, 0.85], 0.10),
    ("R0-Zarc1-Zarc2-Zarc3", [0.01, 0.03, 1e-4, 0.85, 0.06, 5e-3, 0.9, 0.02, 3e-1, 0.95], 0.10),
    # The shortfall bench/drt.py counts: a broad, small arc beside a larger one gets a
    # lambda that smooths too much, and its resistance comes out 11-13 % low.
    pytest.param(
        "R0-Zarc1-Zarc2-Zarc3",
        [0.01, 0.03, 1e-4, 0.85, 0.06, 5e-3, 0.9, 0.02, 2e-1, 0.8],
        0.10,
        marks=pytest.mark.xfail(reason="resistance 11-13 % low", strict=True),
    ),
]


@pytest.mark.parametrize(("notation", "values", "tolerance"), ZARCS)
def test_finds_every_zarc_with_its_resistance(notation, values, tolerance):
    f, z = noisy(notation, values, seed=7)
    result = kl.drt((f, z))
    truth = np.array(values[1:]).reshape(-1, 3)
    peaks = result.peaks
    total = truth[:, 0].sum()
    matched = set()
    for r, tau, _alpha in truth:
        distance = np.abs(np.log10(peaks["tau"].to_numpy() / tau))
        i = int(np.argmin(distance))
        assert distance[i] <= 0.1, (tau, peaks)
        assert peaks["r"][i] == pytest.approx(r, rel=tolerance), (r, peaks)
        matched.add(i)
    spurious = peaks["r"].drop(index=list(matched))
    assert (spurious <= 0.02 * total).all(), peaks
    assert result.r_inf == pytest.approx(values[0], rel=0.1)


@pytest.mark.parametrize("name", SAMPLES, ids=lambda n: n.split("/")[1])
def test_exact_non_negative_solution_at_every_lambda(name):
    """At each lambda the solution meets the optimality conditions of the constrained problem,
    and the data misfit never grows as lambda falls (both fail for an inexact solver)."""
    f, z = measured(name)
    eps = basis.shape_parameter(f, 0.5, "fwhm")
    centres = basis.centres(f)
    a_re, a_im = basis.impedance_matrices(f, centres, eps)
    gram = basis.penalty_matrix(centres, eps, 1)
    system = assemble(
        f, z, a_re, a_im, gram, mode="complex", inductance=False, weights=weights_for(z, "unit")
    )
    misfits = []
    for lam in 10.0 ** np.arange(1, -11, -1):
        result = kl.drt((f, z), lambda_=lam, check=False)
        assert np.all(np.isfinite(result.gamma)) and np.all(result.gamma >= 0)
        x = np.concatenate([[result.r_inf], result.coefficients])
        residual = system.matrix @ x - system.rhs
        gradient = system.matrix.T @ residual
        gradient[1:] += lam * regularised_gram(gram) @ x[1:]
        scale = np.linalg.norm(system.matrix.T @ system.rhs)
        active = x > 1e-12 * np.abs(x).max()
        assert np.all(np.abs(gradient[active]) <= 1e-6 * scale), lam
        assert np.all(gradient[~active] >= -1e-6 * scale), lam
        misfits.append(float(residual @ residual))
    assert all(b <= a * (1 + 1e-6) + 1e-12 for a, b in zip(misfits, misfits[1:], strict=False))


@pytest.mark.parametrize("mode", ["complex", "real", "imag"])
def test_modes_recover_series_resistance_and_inductance(mode):
    values = [2e-7, 0.02, 0.05, 1e-3, 0.85]
    f, z = noisy("L0-R0-Zarc1", values, seed=3, noise=0.001)
    result = kl.drt((f, z), mode=mode, inductance=True)
    assert result.r_inf == pytest.approx(0.02, rel=0.05)
    assert result.inductance == pytest.approx(2e-7, rel=0.05)
    assert np.max(np.abs(result.residuals)) < 0.01 * np.max(np.abs(z))


@pytest.mark.parametrize("criterion", ["gcv", "mgcv", "re-im", "lcurve"])
def test_every_criterion_keeps_its_curve(criterion):
    f, z = noisy("R0-Zarc1-Zarc2", [0.01, 0.05, 1e-4, 0.9, 0.02, 1e-1, 0.8], seed=2)
    result = kl.drt((f, z), criterion=criterion)
    assert result.criterion == criterion
    assert result.criterion_lambdas.size == result.criterion_values.size > 50
    assert result.lambda_ in result.criterion_lambdas
    finite = np.isfinite(result.criterion_values)
    chosen = result.criterion_values[result.criterion_lambdas == result.lambda_][0]
    assert chosen == result.criterion_values[finite].min()


def test_json_round_trip_is_exact(tmp_path):
    f, z = noisy("L0-R0-Zarc1-Zarc2", [1e-7, 0.01, 0.05, 1e-4, 0.9, 0.02, 1e-1, 0.8], seed=5)
    result = kl.drt((f, z), inductance=True, credible_band=True, band_samples=200, seed=1)
    back = kl.DrtResult.from_json(result.to_json())
    for name in ("tau", "gamma", "fitted", "coefficients", "gamma_lower", "gamma_upper"):
        np.testing.assert_array_equal(getattr(back, name), getattr(result, name))
    assert (back.lambda_, back.r_inf, back.inductance) == (
        result.lambda_,
        result.r_inf,
        result.inductance,
    )
    assert back.peaks.equals(result.peaks)
    assert back.suggest_circuit() == result.suggest_circuit()
    with pytest.raises(ValueError, match="not a DRT result"):
        kl.DrtResult.from_dict({"format": "kelvara_lab.FitReport/1"})


def test_credible_band_holds_the_estimate():
    f, z = noisy("R0-Zarc1", [0.01, 0.05, 1e-3, 0.85], seed=9)
    result = kl.drt((f, z), credible_band=True, band_samples=300, seed=4)
    assert result.gamma_lower is not None and result.gamma_upper is not None
    assert np.all(result.gamma_lower >= 0)
    assert np.all(result.gamma_lower <= result.gamma_upper)
    peak = np.argmax(result.gamma)
    assert result.gamma_lower[peak] < result.gamma[peak] * 1.05
    assert result.gamma_upper[peak] > result.gamma[peak] * 0.95


def test_suggested_circuit_fits_from_its_start():
    values = [2e-7, 0.02, 0.05, 1e-3, 0.85, 0.03, 1e-1, 0.8]
    f, z = noisy("L0-R0-Zarc1-Zarc2", values, seed=11, noise=0.002)
    notation, start = kl.drt((f, z), inductance=True).suggest_circuit()
    assert notation == "L0-R0-(R1,CPE1)-(R2,CPE2)"
    assert list(start) == kelvara.Circuit(notation).param_names()
    report = kl.fit(notation, (f, z), start=start)
    assert report.success
    assert report.params["R1.r"] == pytest.approx(0.05, rel=0.03)
    assert report.params["R2.r"] == pytest.approx(0.03, rel=0.03)
    overlay = kl.drt_of(report)
    area = np.trapezoid(overlay.gamma, np.log(overlay.tau))
    assert area == pytest.approx(0.08, rel=0.05)
    assert overlay.inductance == pytest.approx(2e-7, rel=0.05)


def test_drt_of_ideal_elements_are_lines():
    f = np.logspace(4, -2, 30)
    circuit = kelvara.Circuit("R0-(R1,C1)-K2-Zarc3").with_values(
        [0.01, 0.02, 0.5, 0.03, 1e-4, 0.04, 1e-1, 1.0]
    )
    report = kl.fit(
        "R0-(R1,C1)-K2-Zarc3",
        (f, circuit.impedance(f)),
        start=dict(zip(circuit.param_names(), circuit.param_values(), strict=True)),
        max_iterations=1,
    )
    overlay = kl.drt_of(report)
    assert overlay.r_inf == pytest.approx(report.params["R0.r"])
    assert len(overlay.lines) == 3
    with pytest.raises(ValueError, match="no DRT"):
        kl.drt_of(kl.fit("R0-W1", (f, kelvara.Circuit("R0-W1").impedance(f)), guess_init=False))


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"lambda_": -1.0}, "lambda_"),
        ({"lambda_": "best"}, "lambda_"),
        ({"mode": "both"}, "mode"),
        ({"criterion": "aic"}, "criterion"),
        ({"method": "tr-nnls"}, "method"),
        ({"derivative_order": 3}, "derivative_order"),
        ({"shape_coeff": 0.0}, "shape_coeff"),
        ({"weighting": "proportional"}, "weighting"),
    ],
)
def test_rejects_bad_options(options, error):
    f, z = noisy("R0-Zarc1", [0.01, 0.05, 1e-3, 0.9], seed=0)
    with pytest.raises(ValueError, match=error):
        kl.drt((f, z), **options)


def test_reads_files_like_fit():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = kl.drt(sample("pyimpspec/data.mpt"))
    assert len(result.peaks) >= 1
    assert "[[Peaks]]" in str(result)


def test_batch_rows_match_single_drts_on_threads(tmp_path):
    spectra = {
        f"s{seed}": noisy("R0-Zarc1-Zarc2", [0.01, 0.05, 1e-4, 0.9, 0.02, 1e-1, 0.8], seed)
        for seed in range(3)
    }
    spectra["broken"] = (F[:2], np.ones(2, dtype=complex))
    table = drt_many(spectra, executor="threads", progress=False)
    assert list(table["spectrum"]) == list(spectra)
    single = kl.drt(spectra["s1"])
    row = table.set_index("spectrum").loc["s1"]
    assert row["lambda"] == single.lambda_
    assert row["peak2 r / ohm"] == single.peaks["r"][1]
    assert "at least 3 points" in table.set_index("spectrum").loc["broken", "error"]
    write_results(table, tmp_path / "drt.csv")
    assert read_results(tmp_path / "drt.csv").equals(table)


def test_command_prints_peaks_writes_table_and_pictures(tmp_path):
    from click.testing import CliRunner

    from kelvara_lab.cli.main import main

    out, plots = tmp_path / "drt.parquet", tmp_path / "plots"
    run = CliRunner().invoke(
        main,
        ["drt", str(BATTERY), "--lambda", "1e-3", "--out", str(out), "--plots", str(plots)],
    )
    assert run.exit_code == 0, run.output
    assert "peak2 r / ohm" in run.output
    assert kl.read_results(out)["lambda"][0] == 1e-3
    assert (plots / "battery_spectrum-0-drt.png").is_file()
    bad = CliRunner().invoke(main, ["drt", str(BATTERY), "--lambda", "much"])
    assert bad.exit_code == 2


def test_plot_draws_band_peaks_and_overlay():
    from kelvara_lab import plot

    result = kl.drt(BATTERY, inductance=True, credible_band=True, band_samples=50, seed=0)
    report = kl.fit(*result.suggest_circuit()[:1], BATTERY, start=result.suggest_circuit()[1])
    figure = plot.drt(result, against="frequency", overlay=kl.drt_of(report))
    top = figure.axes[0]
    assert len(top.collections) == 1  # the band
    assert len(top.lines) >= 3  # gamma, peak marks, circuit
