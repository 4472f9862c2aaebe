"""The model-choice bar: does ``compare`` rank the generating registry circuit first?

Spectra of every registry circuit from training's sampler (its window and parameter
distributions), 0.5 % noise; ``compare`` fits all eleven candidates with the search. Prints
the confusion matrix (rows: the generating circuit, columns: the one ranked first), the
share ranked first and the share within 2 BIC units of the first.

    python bench/chosen.py [--spectra 50]
"""

from __future__ import annotations

import argparse
import sys
import warnings
from pathlib import Path

import numpy as np

import kelvara
from kelvara_lab.circuit.notation import REGISTRY
from kelvara_lab.fitting.compare import compare

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "training"))
from synth import add_noise, draw_params, draw_window  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=50)
    args = parser.parse_args()
    keys = list(REGISTRY)
    rng = np.random.default_rng(29)
    confusion = {k: dict.fromkeys(keys, 0) for k in keys}
    first = close = 0
    for key in keys:
        for _ in range(args.spectra):
            window = draw_window(rng)
            values = draw_params(key, rng, window)
            f = window.freqs
            z = add_noise(rng, kelvara.Circuit(key).with_values(values).impedance(f), 0.005)
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                table = compare((f, z), check=False)
            winner = str(table.index[0])
            confusion[key][winner] += 1
            first += winner == key
            close += bool(table.loc[key, "bic"] <= table["bic"].iloc[0] + 2.0)
        row = " ".join(f"{confusion[key][k]:>4d}" for k in keys)
        print(f"{key:>15s} {row}", flush=True)
    total = len(keys) * args.spectra
    print("columns: " + " ".join(keys))
    print(f"ranked first: {first}/{total} = {100 * first / total:.1f} %")
    print(f"within 2 BIC of the first: {close}/{total} = {100 * close / total:.1f} %")


if __name__ == "__main__":
    main()
