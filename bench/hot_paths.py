"""Time the three hot paths of whichever kelvara is importable, for profiling.

    PYTHONPATH=<build A> .venv/bin/python bench/hot_paths.py > a.json
    PYTHONPATH=<build B> .venv/bin/python bench/hot_paths.py > b.json

One thread (RAYON_NUM_THREADS=1), JSON on stdout: impedance() per point, one
default Levenberg-Marquardt fit of "randles" and of "two_rq" from a fixed
start, and one guess() with 16-, 32- and 64-channel networks. Running two
builds this way, one after the other on the same machine, is how the before
and after columns of bench/PROFILE.md were taken.
"""

from __future__ import annotations

import functools
import json
import os
import sys
import tempfile
from pathlib import Path

os.environ["RAYON_NUM_THREADS"] = "1"

import numpy as np  # noqa: E402

import kelvara  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

from run import FIT_CASES, SEI_RANDLES_WO, best_time, fit_problems  # noqa: E402
from support.eisnn_format import encode_eisnn, random_guesser  # noqa: E402


def main() -> None:
    out: dict[str, float] = {}
    circuit = kelvara.Circuit("sei_randles_wo").with_named_values(SEI_RANDLES_WO)
    f = np.logspace(6, -3, 10_000)
    out["impedance ns/point (10^4 points)"] = best_time(lambda: circuit.impedance(f)) / f.size * 1e9
    for key in FIT_CASES:
        fit_f, z, start, _ = fit_problems(key, 1, seed=7)[0]
        started = kelvara.Circuit(key).with_values(start)
        fit_once = functools.partial(started.fit, fit_f, z, guess_init=False)
        out[f"fit {key} ms"] = best_time(fit_once) * 1e3
    guess_circuit = kelvara.Circuit("two_rq")
    z = guess_circuit.with_named_values(FIT_CASES["two_rq"][1]).impedance(fit_f)
    with tempfile.TemporaryDirectory() as folder:
        for channels in (16, 32, 64):
            path = Path(folder) / f"g{channels}.eisnn"
            metadata, tensors = random_guesser(
                "R0-(R1,CPE1)-(R2,CPE2)", guess_circuit.param_names(), channels
            )
            path.write_bytes(encode_eisnn(metadata, tensors))
            guess_once = functools.partial(guess_circuit.guess, fit_f, z, weights=str(path))
            out[f"guess {channels} channels ms"] = best_time(guess_once) * 1e3
    json.dump(out, sys.stdout, indent=1)
    print()


if __name__ == "__main__":
    main()
