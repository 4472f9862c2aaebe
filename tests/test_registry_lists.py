"""The registry's model list is written in the module; the build's weight
embedding and the training generator keep copies that must agree with it."""

import re
from pathlib import Path

from synth import REGISTRY

from kelvara import Circuit

ROOT = Path(__file__).resolve().parent.parent


def test_embedding_and_training_lists_match_the_registry():
    cmake = (ROOT / "cmake" / "embed_models.cmake").read_text()
    embedded = re.search(r"set\(kelvara_model_keys ([^)]*)\)", cmake).group(1).split()
    assert embedded == Circuit.ml_circuits()
    assert list(REGISTRY) == Circuit.ml_circuits()
    for key, (notation, _) in REGISTRY.items():
        assert Circuit(key).param_names() == Circuit(notation).param_names(), key
