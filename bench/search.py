"""The search's bars: does the default ``kelvara_lab.fit`` with no start values reach the best
minimum known for a spectrum, and how long does it take?

A synthetic suite of circuits outside the registry (every element kind, up to 12 parameters,
values from milliohms to megaohms, windows as instruments sweep them, 0.5 % noise). Reference
per spectrum: the best of the local fit from the generating values and ``--random`` local fits
from log-uniform data-scaled random starts (the engine's own least squares, ``search="local"``).
A fit "reaches" the reference when its cost is within 0.1 % of it.

Side by side on the same spectra of the circuits the impedance package can write (R, C, L,
CPE and W elements), its one local fit from a hand guess (every value within a factor of two
of the truth, exponents 5 % low), weighted by modulus as ours is.

    python bench/search.py [--spectra 20] [--random 500] [--circuits N] [--no-peer]
"""

from __future__ import annotations

import argparse
import os
import re
import statistics
import time
import warnings

os.environ.setdefault("RAYON_NUM_THREADS", "1")  # the bar is on one core

import numpy as np
from best_known import best_local_cost

import kelvara
from kelvara_lab.fitting.run import fit

SUITE = [
    "R0-(R1,C1)-W1",
    "R0-(R1,CPE1)-W1",
    "R0-(R1-W1,C1)",
    "R0-(R1-Wo1,CPE1)",
    "R0-(R1-Ws1,CPE1)",
    "R0-G1",
    "R0-(R1,C1)-G1",
    "R0-Gs1",
    "R0-(R1,CPE1)-Gs1",
    "R0-K1-K2",
    "R0-Zarc1",
    "R0-Zarc1-Zarc2",
    "R0-Zarc1-Zarc2-Zarc3",
    "R0-Tlmq1",
    "R0-(R1,CPE1)-Tlmq1",
    "R0-T1",
    "R0-(R1,C1)-T1",
    "L0-R0-Zarc1",
    "La0-R0-(R1,CPE1)",
    "La0-R0-Zarc1-Zarc2",
    "R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)",
    "R0-(R1,C1)-(R2,C2)-(R3,C3)",
    "L0-R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)",
    "R0-(R1,CPE1)-(R2-W2,CPE2)-(R3,C3)",
    "R0-(R1,C1)-CPE2",
    "R0-(R1,CPE1)-CPE2",
    "R0-(R1,CPE1)-(R2,CPE2)-CPE3",
    "R0-(R1,C1)-C2",
    "R0-(R1,CPE1)-Wo1",
    "R0-(R1,CPE1)-Ws1",
    "R0-(R1,CPE1)-(R2,CPE2)-Wo3",
    "L0-R0-(R1,CPE1)-(R2-Wo2,CPE2)",
    "R0-(R1,CPE1)-G1-W2",
    "R0-(R1-(R2,CPE2),CPE1)",
    "R0-(R1-(R2,C2),C1)",
    "R0-(R1-(R2-W2,CPE2),CPE1)",
    "R0-K1-Zarc2-W3",
    "R0-(R1,L1)-(R2,CPE2)",
    "L0-R0-(R1,C1)-(R2-W2,C2)",
    "R0-(R1,CPE1)-(R2,CPE2)-(R3,CPE3)-W4",
    "L0-R0-(R1,CPE1)-(R2,CPE2)-(R3-Wo3,CPE3)",
]


def truth_for(notation: str, rng: np.random.Generator, f: np.ndarray) -> list[float]:
    """Values on one resistance scale, each time constant inside the window."""
    c = kelvara.Circuit(notation)
    scale = 10.0 ** rng.uniform(-3, 6)
    t_lo, t_hi = 1 / (2 * np.pi * f.max()), 1 / (2 * np.pi * f.min())
    taus = iter(np.sort(10.0 ** rng.uniform(np.log10(t_lo) + 0.7, np.log10(t_hi) - 0.7, 12)))
    values = []
    names = c.param_names()
    exponents = {}
    for name in names:
        kind, field = name.split(".")
        code = kind.rstrip("0123456789")
        r = scale * 10.0 ** rng.uniform(-0.5, 0.5)
        if field in ("alpha", "gamma"):
            exponents[kind] = rng.uniform(0.7, 1.0)
            values.append(exponents[kind])
        elif field in ("r", "z0", "rg", "r_ion", "a", "b"):
            values.append(r)
        elif field in ("tau", "tg", "tau_k"):
            values.append(next(taus))
        elif field == "c":
            values.append(next(taus) / r)
        elif field in ("q", "qs"):
            values.append(next(taus) ** 0.85 / r)
        elif field == "l":
            values.append(
                scale * 0.05 / (2 * np.pi * f.max())
                if code == "L"
                else (scale * 0.05) ** (1 / 0.9) / (2 * np.pi * f.max())
            )
        elif field == "aw":
            values.append(r * np.sqrt(2 * np.pi * f.min()) * 3)
        elif field == "phi":
            values.append(rng.uniform(0.5, 3))
        elif field == "k_tau":
            values.append(10.0 ** rng.uniform(-1, 1))
        else:
            raise ValueError(name)
    return values


PEER_ELEMENTS = re.compile(r"^(R|C|L|CPE|W)\d+$")


def peer_notation(notation: str) -> str | None:
    """The circuit in the impedance package's notation, where it has every element."""
    names = re.findall(r"[A-Za-z]+\d+", notation)
    if not all(PEER_ELEMENTS.match(n) for n in names):
        return None
    return notation.replace("(", "p(")


def peer_seconds(notation: str, f, z, truth, rng) -> float:
    """The impedance package's local fit from a hand guess."""
    from impedance.models.circuits import CustomCircuit

    names = kelvara.Circuit(notation).param_names()
    guess = [
        v * 0.95 if name.endswith(".alpha") else v * 10 ** rng.uniform(-0.3, 0.3)
        for name, v in zip(names, truth, strict=True)
    ]
    model = CustomCircuit(peer_notation(notation), initial_guess=guess)
    t = time.perf_counter()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # its covariance warnings
        model.fit(f, z, weight_by_modulus=True)
    return time.perf_counter() - t


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=20)
    parser.add_argument("--random", type=int, default=500)
    parser.add_argument("--circuits", type=int, default=len(SUITE))
    parser.add_argument("--only", default="", help="circuits whose notation contains this text")
    parser.add_argument("--effort", type=int, default=None, help="the search's effort")
    parser.add_argument("--no-peer", action="store_true", help="skip the impedance package")
    args = parser.parse_args()
    peer: list[tuple[float, float]] = []  # (ours, the peer's) on the same spectrum
    reached, total = 0, 0
    times: dict[int, list[float]] = {8: [], 12: []}
    misses = []
    kinds = set()
    for index, notation in enumerate(SUITE[: args.circuits]):
        if args.only not in notation:
            continue
        rng = np.random.default_rng([2026, index])  # each circuit's spectra, whatever runs
        n = len(kelvara.Circuit(notation).param_names())
        kinds |= {
            p.split(".")[0].rstrip("0123456789") for p in kelvara.Circuit(notation).param_names()
        }
        hit = 0
        for _ in range(args.spectra):
            f = np.logspace(
                np.log10(rng.choice([1e6, 1e5, 1e4])), np.log10(rng.choice([1e-3, 1e-2, 1e-1])), 60
            )
            truth = truth_for(notation, rng, f)
            z = kelvara.Circuit(notation).with_values(truth).impedance(f)
            z = z * (1 + 0.005 * (rng.standard_normal(60) + 1j * rng.standard_normal(60)))
            t = time.perf_counter()
            effort = {} if args.effort is None else {"effort": args.effort}
            report = fit(notation, (f, z), check=False, noise_floor=0.0, **effort)
            ours = time.perf_counter() - t
            times[8 if n <= 8 else 12].append(ours)
            if not args.no_peer and n <= 8 and peer_notation(notation):
                guess_rng = np.random.default_rng([99, index, len(peer)])  # spectra unchanged
                peer.append((ours, peer_seconds(notation, f, z, truth, guess_rng)))
            ref = best_local_cost(notation, f, z, truth, rng, args.random)
            ok = report.cost <= ref * 1.001
            hit += ok
            if not ok:
                misses.append((notation, report.cost / ref))
        reached += hit
        total += args.spectra
        print(f"{notation:45s} {n:2d} params  reached {hit}/{args.spectra}", flush=True)
    print(f"\nkinds covered: {len(kinds)} ({', '.join(sorted(kinds))})")
    print(
        f"found: {reached}/{total} = {100 * reached / total:.1f} % of spectra reach the reference"
    )
    for k, v in times.items():
        if v:
            print(
                f"time, up to {k} parameters: median {1e3 * statistics.median(v):.1f} ms "
                f"over {len(v)} fits"
            )
    if peer:
        mine = statistics.median(p[0] for p in peer)
        theirs = statistics.median(p[1] for p in peer)
        print(
            f"impedance package, local fit from a hand guess, same {len(peer)} spectra: median "
            f"{1e3 * theirs:.1f} ms against our search's {1e3 * mine:.1f} ms "
            f"({theirs / mine:.2f}x; bar 3x)"
        )
    for notation, ratio in misses[:20]:
        print(f"  miss: {notation} cost {ratio:.4g}x the reference")


if __name__ == "__main__":
    main()
