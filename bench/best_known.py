"""The best minimum known for a spectrum, the reference of the search bars: the engine's local
fit from the generating values and from ``count`` random starts around them."""

from __future__ import annotations

import math

from kelvara_lab import _engine


def best_local_cost(notation, f, z, truth, rng, count):
    """The lowest cost of those local fits (custom codes read as the engine reads them)."""
    d = _engine.describe(notation)
    n, lo, hi = len(truth), d["lower"], d["upper"]

    def local(start):
        return _engine.fit(notation, f, z, [start], [False] * n, lo, hi, search="local")["cost"]

    best = local(truth)
    for _ in range(count):
        # Log-uniform around the data's scales: a decade and a half either side of the truth.
        start = [
            v * 10 ** rng.uniform(-1.5, 1.5) if math.isinf(h) else rng.uniform(0.5, 1.0)
            for v, h in zip(truth, hi, strict=True)
        ]
        best = min(best, local(start))
    return best
