"""What a newcomer reaches for beside the fit: a spectrum passed the same way everywhere, the
circuit's algebra and drawing, averaged repeats, a Z-HIT verdict, short reprs, a clean
namespace, and plain tables read without the instrument libraries."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from lab_samples import sample

import kelvara
import kelvara_lab as kl
from kelvara_lab.views.axes import tick_text
from kelvara_lab.views.distribution import peak_top, summit

SPECTRUM = Path(__file__).resolve().parents[2] / "examples" / "data" / "battery_spectrum.csv"
F = np.logspace(5, -2, 70)
TWO_ARCS = kelvara.Circuit("R0-(R1,CPE1)-(R2,CPE2)").with_values([10, 20, 1e-4, 0.9, 50, 1e-2, 0.8])


def _noisy(z, percent, seed=0):
    rng = np.random.default_rng(seed)
    return z * (
        1 + percent / 100 * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))
    )


def test_dir_shows_the_public_names_only():
    shown = dir(kl)
    assert shown == sorted([*kl.__all__, "__version__"])
    assert not {"sys", "types", "importlib", "annotations", "Any", "TYPE_CHECKING"} & set(shown)


def _forms():
    frame = kl.read(SPECTRUM)
    f = frame[kl.FREQUENCY].to_numpy()
    z = frame[kl.REAL].to_numpy() + 1j * frame[kl.IMAGINARY].to_numpy()
    return {"f, z": (f, z), "pair": ((f, z),), "frame": (frame,), "path": (str(SPECTRUM),)}


@pytest.mark.parametrize(
    "call, number",
    [
        (kl.kk_test, lambda r: r.noise),
        (kl.zhit, lambda r: r.systematic),
        (lambda *a: kl.drt(*a, lambda_=1e-3), lambda r: r.r_inf),
        (lambda *a: kl.fit("rq", *a, search="local"), lambda r: r.chi_square),
        (lambda *a: kl.compare(*a, circuits=["rq"]), lambda t: float(t["bic"].iloc[0])),
    ],
    ids=["kk_test", "zhit", "drt", "fit", "compare"],
)
def test_every_function_takes_a_spectrum_in_every_form(call, number):
    results = {name: number(call(*args)) for name, args in _forms().items()}
    assert len(set(results.values())) == 1, results


KINDS = [
    "R0",
    "C0",
    "L0",
    "La0",
    "CPE0",
    "W0",
    "Wo0",
    "Ws0",
    "G0",
    "Gs0",
    "K0",
    "Zarc0",
    "Tlmq0",
    "T0",
]


@pytest.mark.parametrize("element", KINDS)
def test_the_expression_is_the_impedance_kelvara_computes(element):
    import sympy

    notation = f"R9-({element},C8)-{element.rstrip('0')}7"
    circuit = kelvara.Circuit(notation)
    rng = np.random.default_rng(3)
    values = [v * rng.uniform(0.5, 2) for v in circuit.param_values()]
    circuit = circuit.with_values(values)
    expression = kl.expression(notation)
    names = [n.replace(".", "_") for n in circuit.param_names()]
    symbols = {
        sympy.Symbol("_".join(reversed(n.split("_", 1))), positive=True): v
        for n, v in zip(names, values, strict=True)
    }
    omega = sympy.Symbol("omega", positive=True)
    numeric = sympy.lambdify(omega, expression.subs(symbols), "numpy")
    w = np.logspace(-2, 4, 9)
    assert np.allclose(numeric(w), circuit.impedance(w / (2 * np.pi)), rtol=1e-9, atol=0)
    assert r"\omega" in kl.latex(notation)


def test_the_circuit_drawing_names_every_element():
    figure = kl.plot.circuit("L0-R0-(R1,CPE1)-(R2-Wo3,C2)")
    texts = {t.get_text() for ax in figure.axes for t in ax.texts}
    assert {"L0", "R0", "R1", "CPE1", "R2", "Wo3", "C2"} <= texts


def test_average_of_repeats_lowers_the_noise_and_measures_it():
    z = TWO_ARCS.impedance(F)
    repeats = [(F, _noisy(z, 1.0, seed)) for seed in range(16)]
    mean = kl.average(repeats)
    assert mean.attrs["repeats"] == 16
    assert np.median(mean.attrs["spread"]) == pytest.approx(1.0, rel=0.2)
    truth = TWO_ARCS.impedance(mean[kl.FREQUENCY].to_numpy())
    error = (mean[kl.REAL] + 1j * mean[kl.IMAGINARY]).to_numpy() / truth - 1
    assert np.sqrt(np.mean(np.abs(error) ** 2 / 2)) < 0.4 / 100  # 1 % / sqrt(16), with room
    frame = kl.read(sample("pyimpspec/case-multiple-spectra.mpt"))
    assert len(kl.average(frame)) == 29
    with pytest.raises(ValueError, match="same frequencies"):
        kl.average([(F, z), (F[:-1], z[:-1])])


@pytest.mark.parametrize(
    "drift, noise, passed",
    [(0, 0.0, True), (0, 0.5, True), (0, 1.0, True), (2, 0.3, False), (4, 0.0, False)],
)
def test_zhit_fails_drift_and_passes_noise_lin_kk_passes(drift, noise, passed):
    """Drift of |Z| over the sweep (the first point measured at the highest frequency) is
    what Z-HIT is for; noise alone within Lin-KK's limit is not trouble."""
    z = TWO_ARCS.impedance(F) * (1 + drift / 100 * np.linspace(0, 1, F.size) ** 2)
    result = kl.zhit(F, _noisy(z, noise, seed=5))
    assert result.passed is passed, result.verdict


def test_results_have_short_reprs_and_notebook_tables():
    kk = kl.kk_test(SPECTRUM)
    zhit = kl.zhit(SPECTRUM)
    for result in (kk, zhit):
        assert len(repr(result)) < 200
        assert "<table>" in result._repr_html_()
    table = kl.compare(SPECTRUM, ["rq", "two_rq_l"])
    html = table._repr_html_()
    longest = max(table["verdict"], key=len)
    assert longest in html.replace("&lt;", "<").replace("&gt;", ">") and "FitReport(" not in html


def test_a_plain_csv_is_read_without_the_instrument_libraries():
    code = (
        "import sys, kelvara_lab as kl;"
        f"frame = kl.read({str(sample('pyimpspec/data-comma.csv'))!r});"
        "assert len(frame) == 29, len(frame);"
        "print(sorted(m for m in ('pyimpspec', 'galvani', 'impedance') if m in sys.modules))"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.stdout.strip() == "[]", done.stderr


def test_narrow_log_axes_get_enough_labels_and_powers_read_as_such():
    figure = kl.plot.bode(SPECTRUM)
    figure.canvas.draw()
    modulus = figure.axes[0]
    labels = [t.get_text() for t in modulus.get_yticklabels() if t.get_text()]
    assert len(labels) >= 4, labels  # |Z| spans 21 to 48 mOhm
    assert tick_text(1e-6) == "$10^{-6}$" and tick_text(0.01) == "0.01"


def test_drt_markers_sit_on_the_peak_tops():
    gamma = np.array([0.0, 1.0, 3.0, 2.0, 1.0, 2.0, 4.0, 1.0])  # two peaks, at 2 and 6
    assert [summit(gamma, start) for start in (0, 3, 5, 6, 7)] == [2, 2, 6, 6, 6]
    # A peak estimated on its shoulder (a small local bump beside the top) is marked on top.
    tau = np.logspace(-5, -3, 21)
    shoulder = np.exp(-(((np.log10(tau) + 4) / 0.2) ** 2)) + 0.6 * (np.abs(tau - 1.6e-4) < 2e-5)
    assert summit(shoulder, 12) == 12 and peak_top(tau, shoulder, 1.6e-4) == 10
