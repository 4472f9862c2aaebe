"""Plots draw the data the right way up, with units, and save as pictures."""

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


def spectrum(scale):
    f = np.geomspace(1e5, 0.1, 30)
    return f, scale * (1 + 1 / (1 + 1j * f * 1e-2))


@pytest.mark.parametrize(("scale", "unit"), [(0.02, "mΩ"), (5.0, "Ω"), (3e4, "kΩ")])
def test_nyquist_is_equal_aspect_minus_im_up_with_scaled_units(scale, unit):
    f, z = spectrum(scale)
    ax = plot.nyquist(f, z)
    assert ax.get_aspect() == 1.0
    assert ax.get_xlabel() == f"Re(Z) / {unit}" and ax.get_ylabel() == f"−Im(Z) / {unit}"
    x, y = ax.lines[0].get_data()
    divisor = {"mΩ": 1e-3, "Ω": 1.0, "kΩ": 1e3}[unit]
    np.testing.assert_allclose(y, -z.imag / divisor)
    assert (y > 0).all()


def test_bode_puts_magnitude_and_phase_on_log_frequency():
    f, z = spectrum(5.0)
    top, bottom = plot.bode(f, z, fit=z)
    assert top.get_xscale() == bottom.get_xscale() == "log" and top.get_yscale() == "log"
    np.testing.assert_allclose(top.lines[0].get_ydata(), np.abs(z))
    np.testing.assert_allclose(bottom.lines[0].get_ydata(), -np.angle(z, deg=True))
    assert bottom.get_ylabel() == "−phase / °"


def test_every_plot_saves_for_a_measured_file(tmp_path):
    frame = kl.read(sample("pyimpspec/case-multiple-spectra.mpt"))
    first = next(kl.spectra(frame))[1]
    result = kl.kk_test(first)
    given = plt.figure().add_subplot()
    drawn = {
        "nyquist": plot.nyquist(frame).figure,
        "bode": plot.bode(first, fit=result.fitted)[0].figure,
        "residuals": plot.residuals(result).figure,
        "kk": plot.kk(result)[0].figure,
        "given": plot.nyquist(first, ax=given).figure,
    }
    assert drawn["given"] is given.figure
    assert len(drawn["nyquist"].axes[0].lines) == 3 + 1  # one per spectrum, and the zero line
    for name, figure in drawn.items():
        figure.savefig(tmp_path / f"{name}.png", dpi=60)
        assert (tmp_path / f"{name}.png").stat().st_size > 2000, name
