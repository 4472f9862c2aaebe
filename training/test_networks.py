"""The training tool against the module: its table is the module's registry, and what it
teaches a network to output is what the module turns back into the generating values."""

from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest
import train  # puts the suite's support package on the path
from networks import NETWORKS
from support.eisnn_format import F32, random_guesser, read_eisnn, write_eisnn
from support.reference_network import Guesser

from kelvara import Circuit
from kelvara_lab import _engine

MODELS = Path(__file__).resolve().parent.parent / "src" / "models"


def test_the_table_is_the_modules_registry():
    assert list(NETWORKS) == Circuit.ml_circuits()
    assert {key: network.circuit for key, network in NETWORKS.items()} == _engine.registry()


@pytest.mark.parametrize("key", list(NETWORKS))
def test_a_shipped_file_has_its_records_size(key):
    path = MODELS / f"{key}.eisnn"
    if not path.exists():
        pytest.skip(f"{path.name} is absent: that network has not met the bar yet")
    assert read_eisnn(path)[0]["channels"] == str(NETWORKS[key].channels)


def _constant_guesser(path, circuit, outputs):
    """A weight file whose network ignores its input and outputs `outputs` (binary32)."""
    names = Circuit(circuit).param_names()
    metadata, tensors = random_guesser(circuit, names, 16, encoding=F32)
    head = tensors["w.head.4.weight"][0]
    tensors["w.head.4.weight"] = (np.zeros_like(head), F32)
    tensors["w.head.4.bias"] = (np.concatenate([outputs, np.zeros(len(names))]), F32)
    tensors["target_mean"] = (np.zeros(len(names)), F32)
    tensors["target_std"] = (np.ones(len(names)), F32)
    write_eisnn(path, metadata, tensors)


@pytest.mark.parametrize("key", list(NETWORKS))
def test_training_targets_invert_the_module_scaling(key, tmp_path):
    circuit = NETWORKS[key].circuit
    rng = np.random.default_rng(3)
    for trial in range(3):
        f, z, truth = train.spectrum(key, rng)
        _, _, r_s, w_s = Guesser.features(SimpleNamespace(n_grid=64), f, z)
        path = tmp_path / f"{trial}.eisnn"
        outputs = train.targets(Circuit(circuit).param_names(), truth, r_s, w_s)
        _constant_guesser(path, circuit, outputs)
        guess = Circuit(circuit).guess(f, z, weights=str(path))
        np.testing.assert_allclose(guess, truth, rtol=1e-5)
