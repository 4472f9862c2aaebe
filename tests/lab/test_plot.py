"""Plots draw the data the right way up, with units and tick values, and return the Figure."""

import matplotlib.pyplot as plt
import numpy as np
import pytest
from lab_samples import sample

import kelvara_lab as kl
from kelvara_lab import plot


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def spectrum(scale, base=1.0, f=None):
    f = np.geomspace(1e5, 0.1, 30) if f is None else f
    return f, scale * (base + 1 / (1 + 1j * f * 1e-2))


@pytest.fixture(scope="module")
def report():
    f, z = spectrum(0.02, base=1.05)
    noise = np.random.default_rng(5).normal(0, 2e-3, (2, f.size))
    return kl.fit("R0-(R1,C1)", (f, z * (1 + noise[0] + 1j * noise[1])))


@pytest.mark.parametrize(("scale", "unit"), [(0.02, "mΩ"), (5.0, "Ω"), (3e4, "kΩ")])
def test_nyquist_is_equal_aspect_minus_im_up_with_scaled_units(scale, unit):
    f, z = spectrum(scale)
    ax = plot.nyquist(f, z).axes[0]
    assert ax.get_aspect() == 1.0
    assert ax.get_xlabel() == f"Re(Z) / {unit}" and ax.get_ylabel() == f"−Im(Z) / {unit}"
    x, y = ax.lines[0].get_data()
    divisor = {"mΩ": 1e-3, "Ω": 1.0, "kΩ": 1e3}[unit]
    np.testing.assert_allclose(y, -z.imag / divisor)
    assert (y > 0).all()


def test_bode_puts_magnitude_and_phase_on_log_frequency():
    f, z = spectrum(5.0)
    top, bottom = plot.bode(f, z, fit=z).axes
    assert top.get_xscale() == bottom.get_xscale() == "log" and top.get_yscale() == "log"
    np.testing.assert_allclose(top.lines[0].get_ydata(), np.abs(z))
    np.testing.assert_allclose(bottom.lines[0].get_ydata(), -np.angle(z, deg=True))
    assert bottom.get_ylabel() == "−phase / °"


def shown_values(axis):
    """The numbers written on an axis, inside its view, once the figure is drawn."""
    axis.figure.canvas.draw()
    low, high = sorted(axis.get_view_interval())
    values = []
    for which in ("major", "minor"):
        ticks = axis.get_majorticklocs() if which == "major" else axis.get_minorticklocs()
        for value, label in zip(ticks, axis.get_ticklabels(which=which), strict=True):
            if label.get_text() and low <= value <= high:
                assert float(label.get_text()) == pytest.approx(value, rel=1e-3)
                values.append(value)
    return sorted(values)


@pytest.mark.parametrize(
    ("scale", "base"),
    [(0.02, 1.05), (0.02, 0.3), (5.0, 20.0), (1.0, 1e-3)],
    ids=["0.4-decade", "0.7-decade", "0.02-decade", "3-decade"],
)
def test_magnitude_axis_shows_values_whatever_its_span(scale, base):
    f, z = spectrum(scale, base)
    top, _ = plot.bode(f, z).axes
    assert len(shown_values(top.yaxis)) >= 2


def test_a_narrow_frequency_window_still_shows_frequencies():
    f, z = spectrum(1.0, f=np.geomspace(30, 12, 15))
    _, bottom = plot.bode(f, z).axes
    assert len(shown_values(bottom.xaxis)) >= 2


def test_fit_residuals_are_percent_of_modulus(report):
    ax = plot.residuals(report).axes[0]
    z = report.impedances
    expected = 100 * (z - report.impedance()) / np.abs(z)
    np.testing.assert_allclose(ax.lines[0].get_ydata(), expected.real)
    np.testing.assert_allclose(ax.lines[1].get_ydata(), expected.imag)
    assert ax.get_xscale() == "log" and ax.get_ylabel() == "residual / % of |Z|"


@pytest.mark.parametrize("base", [1.05, 0.002], ids=["flat-arc", "round-arc"])
def test_fit_picture_has_residuals_and_a_nyquist_panel_without_empty_space(base):
    f, z = spectrum(0.02, base)
    figure = kl.fit("R0-(R1,C1)", (f, z)).plot()
    figure.canvas.draw()
    titles = [ax.get_title() for ax in figure.axes]
    assert any(t.startswith("fit residuals") for t in titles) and len(figure.axes) == 4
    nyquist_ax = figure.axes[0]
    # Equal scaling shrinks the box to the data's aspect; the panel was sized for it.
    given = nyquist_ax.get_position(original=True)
    drawn = nyquist_ax.get_position()
    assert drawn.width * drawn.height > 0.7 * given.width * given.height


def test_every_plot_returns_the_figure_and_saves(tmp_path, report):
    frame = kl.read(sample("pyimpspec/case-multiple-spectra.mpt"))
    first = next(kl.spectra(frame))[1]
    result = kl.kk_test(first)
    given = plt.figure().add_subplot()
    pair = plt.figure().subplots(2, 1)
    drawn = {
        "nyquist": plot.nyquist(frame),
        "bode": plot.bode(first, fit=result.fitted),
        "residuals": plot.residuals(result),
        "kk": plot.kk(result),
        "fit": plot.fit(report),
        "report": report.plot(),
        "given": plot.nyquist(first, ax=given),
        "given-pair": plot.kk(result, ax=pair),
    }
    assert drawn["given"] is given.figure and drawn["given-pair"] is pair[0].figure
    assert len(drawn["nyquist"].axes[0].lines) == 3 + 1  # one per spectrum, and the zero line
    for name, figure in drawn.items():
        assert isinstance(figure, plt.Figure), name
        figure.savefig(tmp_path / f"{name}.png", dpi=60)
        assert (tmp_path / f"{name}.png").stat().st_size > 2000, name
