"""Fit the bundled battery spectrum and plot data and fit.

    scripts/run_example.sh                       # sets everything up, then runs this
    .venv/bin/python examples/battery_fit.py [--plot PATH]   # default build/battery_fit.png

Reads examples/data/battery_spectrum.csv (Battery Data Format columns) with
pandas, fits the reference circuit "two_rq_l" (an inductance, the ohmic
resistance and two depressed arcs) with default settings, prints the fitted
parameters with standard errors and units, and saves a Nyquist and a Bode
plot of data and fit as a PNG.
"""

import argparse
from pathlib import Path

import numpy as np
import pandas as pd

import kelvara

HERE = Path(__file__).resolve().parent
# Outputs go to the repository's build folder, never into whatever folder the script runs from.
DEFAULT_PLOT = HERE.parent / "build" / "battery_fit.png"
KEY = "two_rq_l"  # L0-R0-(R1,CPE1)-(R2,CPE2)


def plot(frame: pd.DataFrame, result: kelvara.FitResult, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")  # files only, no display needed
    import matplotlib.pyplot as plt

    f = frame["Frequency / Hz"].to_numpy()
    z = (
        frame["Real Impedance / ohm"].to_numpy()
        + 1j * frame["Imaginary Impedance / ohm"].to_numpy()
    )
    dense = np.logspace(np.log10(f.max()), np.log10(f.min()), 400)
    model = result.circuit.impedance(dense)
    milli = 1e3

    figure = plt.figure(figsize=(11, 4.8), layout="constrained")
    grid = figure.add_gridspec(2, 2, width_ratios=(1.1, 1))
    nyquist = figure.add_subplot(grid[:, 0])
    nyquist.plot(z.real * milli, -z.imag * milli, "o", ms=4, mfc="none", label="measured")
    nyquist.plot(model.real * milli, -model.imag * milli, "-", label=f'fit, "{KEY}"')
    nyquist.axhline(0, color="0.7", lw=0.8)
    nyquist.set_aspect("equal", adjustable="datalim")
    nyquist.set(xlabel="Re Z / mΩ", ylabel="−Im Z / mΩ", title="Nyquist")
    nyquist.legend()
    nyquist.grid(alpha=0.3)

    modulus = figure.add_subplot(grid[0, 1])
    modulus.semilogx(f, np.abs(z) * milli, "o", ms=4, mfc="none")
    modulus.semilogx(dense, np.abs(model) * milli, "-")
    modulus.set(ylabel="|Z| / mΩ", title="Bode")
    modulus.tick_params(labelbottom=False)
    modulus.grid(alpha=0.3, which="both")
    phase = figure.add_subplot(grid[1, 1], sharex=modulus)
    phase.semilogx(f, -np.degrees(np.angle(z)), "o", ms=4, mfc="none")
    phase.semilogx(dense, -np.degrees(np.angle(model)), "-")
    phase.set(xlabel="f / Hz", ylabel="−phase / °")
    phase.grid(alpha=0.3, which="both")
    figure.savefig(path, dpi=120)
    plt.close(figure)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=HERE / "data" / "battery_spectrum.csv")
    parser.add_argument("--plot", type=Path, default=DEFAULT_PLOT, help="PNG to write")
    args = parser.parse_args()

    frame = pd.read_csv(args.data)
    circuit = kelvara.Circuit(KEY)
    print(
        f"{args.data.name}: {len(frame)} points, "
        f"{frame['Frequency / Hz'].max():g} Hz to {frame['Frequency / Hz'].min():g} Hz"
    )

    print(f'fitting "{KEY}" with default settings (start: the built-in network\'s guess)')
    result = circuit.fit(frame)

    print(
        f"success: {result.success}, {result.iterations} iterations, "
        f"chi-square {result.chi_square:.3e}\n"
    )
    names, units = circuit.param_names(), circuit.param_units()
    stderr = result.stderr or {}
    width = max(map(len, names))
    print(f"{'parameter':<{width}}  {'value':>12}  {'std. error':>10}  {'rel.':>6}  unit")
    for name, unit in zip(names, units, strict=True):
        value, error = result.params[name], stderr.get(name, float("nan"))
        print(
            f"{name:<{width}}  {value:>12.5g}  {error:>10.2g}  {abs(error / value):>6.1%}  {unit}"
        )

    args.plot.parent.mkdir(parents=True, exist_ok=True)
    plot(frame, result, args.plot)
    print(f"\nNyquist and Bode plot: {args.plot}")


if __name__ == "__main__":
    main()
