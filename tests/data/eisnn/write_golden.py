"""Writes the golden weight files beside this script, one per tensor encoding:

    python tests/data/eisnn/write_golden.py

A tiny untrained guesser for "R0-(R1,C1)" (4 channels, one block, a grid of 8), so the
reader is tested against fixed bytes rather than bytes the writer makes at test time.
Run it again only when the format itself changes.
"""

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent.parent))  # tests/, for the support package

from support.eisnn_format import ENCODINGS, random_guesser, write_eisnn  # noqa: E402

NAMES = {0: "binary32", 1: "binary16", 2: "int8"}

for encoding in ENCODINGS:
    contents = random_guesser(
        "R0-(R1,C1)", ["R0.r", "R1.r", "C1.c"], 4, encoding=encoding, seed=1,
        n_grid=8, kernel=3, groups=2, dilations=(1,),
    )  # fmt: skip
    write_eisnn(HERE / f"rc_{NAMES[encoding]}.eisnn", *contents)
