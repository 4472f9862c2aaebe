"""The built-in networks: their files, the two sample guesses, and default fits end to end."""

import math
import re
from pathlib import Path

import numpy as np
import pytest
from support.catalogue import REGISTRY
from support.eisnn_format import read_eisnn, scaling_rows

from kelvara import Circuit

MODELS = Path(__file__).resolve().parent.parent / "src" / "models"
TWO_PI = 2 * math.pi


def _require(key):
    path = MODELS / f"{key}.eisnn"
    if not path.exists():
        pytest.skip(f"{path.name} is absent: that network has not met the bar yet")
    return path


F_SAMPLE = np.logspace(-1, 5, 60)


@pytest.mark.parametrize(
    ("key", "values", "tolerance"),
    [("rc", [10.0, 100.0, 1e-5], 0.02), ("rq", [5.0, 50.0, 1e-4, 0.8], 0.01)],
    ids=["rc", "rq"],
)
def test_sample_spectrum_is_guessed_closely(key, values, tolerance):
    _require(key)
    circuit = Circuit(key)
    guess = circuit.guess(F_SAMPLE, circuit.with_values(values).impedance(F_SAMPLE))
    rel = np.abs(np.array(guess) / values - 1)
    assert rel.max() <= tolerance, f"guess {guess} for {values}"


def test_embedded_files_and_reference_names_match_the_registry():
    cmake = (MODELS.parent.parent / "cmake" / "embed_models.cmake").read_text()
    embedded = re.search(r"set\(kelvara_model_keys ([^)]*)\)", cmake).group(1).split()
    assert embedded == list(REGISTRY) == Circuit.ml_circuits()
    for key, notation in REGISTRY.items():
        assert Circuit(key).param_names() == Circuit(notation).param_names(), key


@pytest.mark.parametrize("key", list(REGISTRY))
def test_weight_file_matches_its_registry_row(key):
    """What the module reads from a built-in file must be what its registry row says."""
    circuit = REGISTRY[key]
    metadata, tensors = read_eisnn(_require(key))
    names = Circuit(circuit).param_names()
    assert (metadata["circuit"], metadata["param_names"]) == (circuit, ",".join(names))
    assert metadata["estimator"] == "reactive_centroid"
    assert (float(metadata["alpha_min"]), float(metadata["alpha_max"])) == (0.05, 1.0)
    scaling, log_params = scaling_rows(names)
    np.testing.assert_array_equal(tensors["scaling"].data, scaling.ravel())
    np.testing.assert_array_equal(tensors["log_params"].data, log_params)


# Three cells: a milliohm battery measured 10 kHz -> 10 mHz (descending), a cell of a few
# hundred ohms over 0.1 Hz .. 100 kHz, a megaohm coating over 1 mHz .. 100 Hz.
SCENARIOS = {
    "battery": (np.logspace(4, -2, 61), 0.05, 200.0, 2.0),
    "cell": (np.logspace(-1, 5, 60), 100.0, 5e3, 20.0),
    "coating": (np.logspace(-3, 2, 41), 1e6, 10.0, 0.05),
}


def _values(key, freqs, scale, fast, slow):
    """Generating values: arcs relaxing at `fast` and `slow` Hz (one arc: between them)."""
    tau = lambda f_hz: 1 / (TWO_PI * f_hz)  # noqa: E731
    r0, r1, r2 = 0.3 * scale, scale, 2 * scale
    head = [0.5 * r0 / (TWO_PI * freqs.max()), r0] if key.endswith("_l") else [r0]
    base = key.removesuffix("_l")
    mid = math.sqrt(fast * slow)
    arcs = {
        "rc": [r1, tau(mid) / r1],
        "rq": [r1, tau(mid) ** 0.85 / r1, 0.85],
        "two_rc": [r1, tau(fast) / r1, r2, tau(slow) / r2],
        "two_rq": [r1, tau(fast) ** 0.9 / r1, 0.9, r2, tau(slow) ** 0.7 / r2, 0.7],
        "randles": [r1, r1 * math.sqrt(TWO_PI * fast / 30), tau(fast) ** 0.8 / r1, 0.8],
        "sei_randles": [r1, tau(fast) ** 0.9 / r1, 0.9]
        + [r2, r2 * math.sqrt(TWO_PI * slow / 10), tau(slow) ** 0.75 / r2, 0.75],
        "sei_randles_wo": [r1, tau(fast) ** 0.9 / r1, 0.9]
        + [r2, r2, 10 * tau(slow), tau(slow) ** 0.75 / r2, 0.75],
    }
    return head + arcs[base]


@pytest.mark.parametrize("scenario", list(SCENARIOS))
@pytest.mark.parametrize("key", list(REGISTRY))
def test_default_fit_recovers_synthetic_spectrum(key, scenario):
    _require(key)
    freqs, scale, fast, slow = SCENARIOS[scenario]
    circuit = Circuit(key)
    truth = _values(key, freqs, scale, fast, slow)
    z = circuit.with_values(truth).impedance(freqs)
    result = circuit.fit(freqs, z)
    got = [result.params[name] for name in circuit.param_names()]
    np.testing.assert_allclose(got, truth, rtol=1e-3, err_msg=f"{key} on the {scenario}")
