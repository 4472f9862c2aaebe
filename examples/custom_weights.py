"""Use a weight file of your own for the initial guess.

Any EISNN001 file trained for a topology can be passed as `weights=`: to
`guess()` for the starting values alone, or to `fit()`, which then starts
from that guess. This one has random weights (written with the writer in
tests/support, which the training tool uses too), so its guess is rough;
the fit still gets there from it.
"""

import sys
import tempfile
from pathlib import Path

import numpy as np

import kelvara

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support.eisnn_format import random_guesser, write_eisnn  # noqa: E402

circuit = kelvara.Circuit("R0-(R1,CPE1)")
f = np.logspace(4, -2, 60)
z = circuit.with_values([0.02, 0.05, 0.5, 0.85]).impedance(f)

with tempfile.TemporaryDirectory() as folder:
    path = str(Path(folder) / "my_rq.eisnn")
    metadata, tensors = random_guesser("R0-(R1,CPE1)", circuit.param_names(), channels=16, seed=3)
    write_eisnn(path, metadata, tensors)

    guess = circuit.guess(f, z, weights=path)
    print(
        "guess:",
        {name: round(value, 4) for name, value in zip(circuit.param_names(), guess, strict=True)},
    )

    # Relabelled and reordered circuits of the same topology use the same file.
    reordered = kelvara.Circuit("(R1,CPE2)-R3").guess(f, z, weights=path)
    print("reordered:", [round(value, 4) for value in reordered])

    result = circuit.fit(f, z, weights=path)
    print(f"fit from it: success={result.success}, chi_square={result.chi_square:.2e}")
