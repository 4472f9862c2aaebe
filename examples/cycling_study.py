"""A cycling study: a few hundred spectra of an ageing cell, fitted with fit_many.

The cell's ohmic, SEI and charge-transfer resistances grow with cycle number; every
20th cycle is measured. The spectra are made here from known values with seeded noise,
fitted to "two_rq_l" in one call, and the resistances are plotted against cycle number.

    .venv/bin/python examples/cycling_study.py [--plot cycling.png] [--spectra 300]
"""

import argparse

import numpy as np

import kelvara
import kelvara_lab


def ageing_cell(cycles, seed=5):
    """One spectrum per cycle: R0, R1 (SEI) and R2 (charge transfer) grow with ageing."""
    rng = np.random.default_rng(seed)
    circuit = kelvara.Circuit("two_rq_l")
    f = np.logspace(4, -2, 60)
    spectra, truth = {}, []
    for cycle in cycles:
        age = cycle / 1000
        values = [
            5e-8,
            0.021 * (1 + 0.10 * age),
            0.008 * (1 + 0.60 * age),
            0.074,
            0.85,
            0.019 * (1 + 0.35 * age),
            3.3,
            0.78,
        ]
        z = circuit.with_values(values).impedance(f)
        z = z + 0.003 * np.abs(z) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size))
        spectra[f"cycle {cycle}"] = (f, z)
        truth.append(values)
    return spectra, np.array(truth)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plot", help="write the resistances against cycle number here")
    parser.add_argument("--spectra", type=int, default=300)
    args = parser.parse_args()

    cycles = np.arange(args.spectra) * 20
    spectra, truth = ageing_cell(cycles)
    table = kelvara_lab.fit_many("two_rq_l", spectra, progress=False)
    print(f"{len(table)} spectra fitted, {int(table['success'].sum())} successful")
    for name, column in [("R0", 1), ("R1", 2), ("R2", 5)]:
        fitted = table[f"{name}.r / ohm"].to_numpy()
        worst = np.max(np.abs(fitted / truth[:, column] - 1))
        print(
            f"{name}: {fitted[0] * 1e3:.2f} mOhm at cycle 0, {fitted[-1] * 1e3:.2f} mOhm at "
            f"cycle {cycles[-1]}; largest deviation from the true value {worst:.1%}"
        )
    if args.plot:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, ax = plt.subplots(figsize=(6, 4), layout="constrained")
        for name, label in [
            ("R0", "R0 (ohmic)"),
            ("R1", "R1 (SEI)"),
            ("R2", "R2 (charge transfer)"),
        ]:
            ax.errorbar(
                cycles,
                table[f"{name}.r / ohm"] * 1e3,
                yerr=table[f"{name}.r stderr / ohm"] * 1e3,
                fmt=".",
                ms=3,
                label=label,
            )
        ax.set_xlabel("cycle number")
        ax.set_ylabel("resistance / mΩ")
        ax.grid(True, alpha=0.3)
        ax.legend()
        fig.savefig(args.plot, dpi=110)
        print(f"resistances against cycle number: {args.plot}")


if __name__ == "__main__":
    main()
