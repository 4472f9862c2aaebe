"""Default fits of every registry circuit on held-out synthetic spectra, for
comparing two builds of the module.

    python bench/heldout_fits.py fit OUT.json [--per-model N]
    python bench/heldout_fits.py compare BEFORE.json AFTER.json

`fit` draws N spectra per circuit with training/synth.py's generator (a seed
the training never uses, 0.5 % noise), fits each with Circuit(...).fit(f, z)
at its defaults and records chi-square and success; run it once with each
build's interpreter. `compare` counts, per circuit, the fits that got better,
stayed the same or got worse (beyond 1e-9 relative), and checks that both
files saw the same spectra.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "training"))
from networks import NETWORKS  # noqa: E402
from synth import add_noise, draw_params, draw_window  # noqa: E402

SEED = 4242  # training uses 20261206 + key and 777 + key
SIGMA = 0.005
TOLERANCE = 1e-9


def fit_all(out: Path, per_model: int) -> None:
    import kelvara

    results = {}
    for key, network in NETWORKS.items():
        rng = np.random.default_rng(SEED + sum(map(ord, key)))
        circuit = kelvara.Circuit(network.circuit)
        rows = []
        for _ in range(per_model):
            win = draw_window(rng)
            values = draw_params(key, rng, win)
            z = add_noise(rng, circuit.with_values(values).impedance(win.freqs), SIGMA)
            digest = hashlib.sha256(z.tobytes() + win.freqs.tobytes()).hexdigest()[:16]
            r = circuit.fit(win.freqs, z)
            rows.append({"chi": r.chi_square, "success": r.success, "digest": digest})
        results[key] = rows
    out.write_text(json.dumps(results))


def compare(before_path: Path, after_path: Path) -> int:
    before, after = json.loads(before_path.read_text()), json.loads(after_path.read_text())
    worse_total = 0
    print(
        f"{'circuit':<16}{'n':>5}{'better':>8}{'same':>6}{'worse':>7}"
        f"{'success before':>16}{'after':>7}{'largest gain':>14}"
    )
    for key in NETWORKS:
        b, a = before[key], after[key]
        assert [r["digest"] for r in b] == [r["digest"] for r in a], f"{key}: different spectra"
        better = same = worse = 0
        gain = 1.0
        for rb, ra in zip(b, a, strict=True):
            cb, ca = rb["chi"], ra["chi"]
            if ca < cb * (1 - TOLERANCE):
                better += 1
                gain = max(gain, cb / ca if ca > 0 else float("inf"))
            elif ca > cb * (1 + TOLERANCE):
                worse += 1
            else:
                same += 1
        worse_total += worse
        print(
            f"{key:<16}{len(b):>5}{better:>8}{same:>6}{worse:>7}"
            f"{sum(r['success'] for r in b):>16}{sum(r['success'] for r in a):>7}{gain:>13.3g}x"
        )
    return 1 if worse_total else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    p = sub.add_parser("fit")
    p.add_argument("out", type=Path)
    p.add_argument("--per-model", type=int, default=300)
    c = sub.add_parser("compare")
    c.add_argument("before", type=Path)
    c.add_argument("after", type=Path)
    args = parser.parse_args()
    if args.command == "fit":
        fit_all(args.out, args.per_model)
        return 0
    return compare(args.before, args.after)


if __name__ == "__main__":
    sys.exit(main())
