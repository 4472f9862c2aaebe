"""Z-HIT: agrees with pyimpspec's on measured spectra, reproduces valid spectra, finds drift."""

import warnings

import numpy as np
import pytest
from lab_samples import sample

import kelvara
import kelvara_lab as kl

SAMPLES = [
    "pyimpspec/data.mpt",
    "impedance.py/exampleDataGamry.DTA",
    "impedance.py/exampleDataBioLogic.mpt",
    "pyimpspec/drift-corrected-data.dta",
]


@pytest.mark.parametrize("name", SAMPLES, ids=lambda n: n.split("/")[1])
def test_agrees_with_pyimpspec(name):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        import pyimpspec

        data = pyimpspec.parse_data(sample(name))[0]
        theirs = pyimpspec.perform_zhit(
            data, smoothing="none", interpolation="makima", window="boxcar", num_procs=1
        )
    ours = kl.zhit((data.get_frequencies(), data.get_impedances()), check=False)
    np.testing.assert_allclose(ours.modulus, np.abs(theirs.get_impedances()), rtol=0.005)


@pytest.mark.parametrize(
    ("notation", "values", "largest"),
    [
        # One correction term leaves about 3 % where an ideal arc's phase turns fastest.
        ("R0-(R1,C1)", [10.0, 100.0, 1e-4], 0.035),
        ("R0-(R1,CPE1)-(R2,CPE2)", [0.02, 0.05, 0.5, 0.85, 0.03, 20.0, 0.8], 0.02),
    ],
)
def test_reconstructs_a_valid_spectrum_in_any_order(notation, values, largest):
    f = np.logspace(5, -2, 71)
    z = kelvara.Circuit(notation).with_values(values).impedance(f)
    result = kl.zhit((f, z))
    assert np.max(np.abs(result.deviation)) < largest
    shuffled = np.random.default_rng(0).permutation(f.size)
    again = kl.zhit((f[shuffled], z[shuffled]))
    np.testing.assert_allclose(again.modulus, result.modulus[shuffled], rtol=1e-12)


def test_drift_at_low_frequency_shows_as_deviation():
    f = np.logspace(5, -2, 71)
    z = kelvara.Circuit("R0-(R1,CPE1)").with_values([10.0, 100.0, 1e-4, 0.9]).impedance(f)
    drifted = z * np.where(f < 0.1, 1.1, 1.0)  # the modulus grows, the phase does not
    result = kl.zhit((f, drifted))
    assert np.all(result.deviation[f < 0.1] > 0.05)
    assert np.all(np.abs(result.deviation[(f > 1) & (f < 1e3)]) < 0.02)


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"interpolation": "linear"}, "interpolation"),
        ({"smoothing": "lowess"}, "smoothing"),
        ({"weights": [1.0, 2.0]}, "weights"),
        ({"width": 0.0}, "finite positive width"),
        ({"center": float("nan")}, "finite center"),
    ],
)
def test_rejects_bad_options(options, error):
    f = np.logspace(3, -1, 20)
    z = kelvara.Circuit("R0-(R1,C1)").with_values([1.0, 10.0, 1e-3]).impedance(f)
    with pytest.raises(ValueError, match=error):
        kl.zhit((f, z), **options)
