"""The verdict's bar: does it flag a wrong circuit (one arc fitted to two) and pass the right one?

Two-arc spectra (R0-(R1,CPE1)-(R2,CPE2), arcs one to three decades apart, resistances within
a factor of five), 60 points from 100 kHz to 10 mHz, noise 0.5 %, 1 % and 2 % of |Z|. Each is
fitted with the right circuit and with one arc, R0-(R1,CPE1), by the default search.

    python bench/verdict.py [--spectra 40]
"""

from __future__ import annotations

import argparse

import numpy as np

import kelvara
from kelvara_lab.fitting.run import fit
from kelvara_lab.fitting.verdict import noise_floor

RIGHT, WRONG = "R0-(R1,CPE1)-(R2,CPE2)", "R0-(R1,CPE1)"


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=40)
    args = parser.parse_args()
    rng = np.random.default_rng(7)
    f = np.logspace(5, -2, 60)
    print(f"{'noise':>6s}  {'wrong flagged':>14s}  {'right passed':>13s}")
    for noise in (0.005, 0.01, 0.02):
        flagged = passed = 0
        for _ in range(args.spectra):
            r1, r2 = 10 ** rng.uniform(-0.35, 0.35, 2)
            tau1 = 10 ** rng.uniform(-4, -2.5)
            tau2 = tau1 * 10 ** rng.uniform(1, 3)
            a1, a2 = rng.uniform(0.75, 1.0, 2)
            values = [0.5, r1, tau1**a1 / r1, a1, r2, tau2**a2 / r2, a2]
            z = kelvara.Circuit(RIGHT).with_values(values).impedance(f)
            z = z * (1 + noise * (rng.standard_normal(60) + 1j * rng.standard_normal(60)))
            floor = noise_floor(f, z)
            wrong = fit(WRONG, (f, z), check=False, noise_floor=floor)
            right = fit(RIGHT, (f, z), check=False, noise_floor=floor)
            flagged += not wrong.verdict.passed
            passed += right.verdict.passed
        print(f"{100 * noise:5.1f}%  {flagged:>8d}/{args.spectra}  {passed:>8d}/{args.spectra}")


if __name__ == "__main__":
    main()
