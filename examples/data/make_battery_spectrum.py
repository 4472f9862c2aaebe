"""Write battery_spectrum.csv, the spectrum the main job fits.

A lithium-ion cell near 50 % state of charge, as a potentiostat would record
it from 10 kHz down to 50 mHz at 10 points per decade:

- a cable and winding inductance that lifts the high-frequency end above the
  real axis (the inductive tail),
- the ohmic resistance of electrolyte, separator and current collectors,
- a small depressed arc near 1 kHz from the solid-electrolyte interphase,
- a larger depressed arc near 5 Hz from charge transfer.

That is the reference circuit "two_rq_l", L0-R0-(R1,CPE1)-(R2,CPE2). The
measurement noise is Gaussian, 0.3 % of |Z| on each of the real and imaginary
parts, drawn from a fixed seed so the file is the same on every run:

    .venv/bin/python examples/data/make_battery_spectrum.py [output.csv]

Columns follow the Battery Data Format, so kelvara reads the file through
pandas without any renaming.
"""

import sys
from pathlib import Path

import numpy as np
import pandas as pd

import kelvara

TRUE_VALUES = {
    "L0.l": 5e-8,  # H
    "R0.r": 0.021,  # ohm
    "R1.r": 0.008,  # ohm, SEI
    "CPE1.q": 0.074,  # ohm^-1 s^alpha, puts the SEI arc near 1 kHz
    "CPE1.alpha": 0.85,
    "R2.r": 0.019,  # ohm, charge transfer
    "CPE2.q": 3.3,  # ohm^-1 s^alpha, puts this arc near 5 Hz
    "CPE2.alpha": 0.78,
}
NOISE = 0.003
SEED = 20261206
PATH = Path(__file__).with_name("battery_spectrum.csv")


def main(path: Path) -> None:
    frequencies = np.logspace(4, np.log10(5e-2), 54)  # descending, as measured
    z = kelvara.Circuit("two_rq_l").with_named_values(TRUE_VALUES).impedance(frequencies)
    rng = np.random.default_rng(SEED)
    z = z + NOISE * np.abs(z) * (rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size))
    frame = pd.DataFrame(
        {
            "Frequency / Hz": frequencies,
            "Real Impedance / ohm": z.real,
            "Imaginary Impedance / ohm": z.imag,
        }
    )
    frame.to_csv(path, index=False, float_format="%.9g")
    print(f"wrote {len(frame)} points to {path}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else PATH)
