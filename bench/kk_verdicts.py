"""Lin-KK verdicts: kelvara_lab.kk_test's defaults against its previous ones and pyimpspec 5.1's.

The spectra: the distinct measured spectra among the bundled instrument samples, and synthetic
ones of known circuits with known relative noise (0, 0.5 and 2 % of |Z| in each part). Both
sides judge by the same rule, estimated noise at most 1 % of |Z|; pyimpspec's test is its own
default (real-part test, capacitance, automatic time-constant range and RC count), ours is
kk_test() with its defaults. "Before" is what kk_test did until now: Schönleber's rule (the
first count from 3 whose mu falls below 0.85), no capacitance, and a fail whenever mu never
fell. Prints a Markdown table (the README's).

Run: .venv/bin/python bench/kk_verdicts.py [--quick]   (pyimpspec takes a few seconds a spectrum)
"""

from __future__ import annotations

import argparse
import time
import warnings
from collections.abc import Iterator
from pathlib import Path

import numpy as np
import numpy.typing as npt

import kelvara
import kelvara_lab as kl

SAMPLES = Path(__file__).resolve().parent.parent / "tests" / "data" / "instrument-samples"
MEASURED = [
    "pyimpspec/data.dta",
    "pyimpspec/drift-corrected-data.dta",
    "pyimpspec/case-multiple-spectra.mpt",
    "impedance.py/exampleDataGamry.DTA",
    "impedance.py/exampleDataBioLogic.mpt",
    "impedance.py/exampleDataZPlot.z",
    "impedance.py/exampleDataAutolab.txt",
    "impedance.py/exampleDataCHInstruments.txt",
    "impedance.py/exampleDataParstat.txt",
    "impedance.py/exampleDataPowersuite.txt",
    "impedance.py/exampleDataVersaStudio.par",
]
#: name: (circuit, values), each a kind of spectrum the verdict must get right
SYNTHETIC = {
    "RC": ("R0-(R1,C1)", [10, 100, 1e-4]),
    "RQ": ("R0-(R1,CPE1)", [10, 100, 1e-4, 0.8]),
    "two RQ": ("R0-(R1,CPE1)-(R2,CPE2)", [0.02, 0.01, 0.05, 0.85, 0.03, 2.0, 0.8]),
    "Li-ion, diffusion tail": (
        "L0-R0-(R1,CPE1)-(R2,CPE2)-W3",
        [5e-8, 0.021, 0.008, 0.074, 0.85, 0.019, 3.3, 0.78, 0.01],
    ),
    "blocking electrode": ("R0-(R1,CPE1)-CPE2", [10, 100, 1e-6, 0.9, 1e-4, 0.9]),
}
NOISES = (0.0, 0.005, 0.02)
MAX_NOISE = 1.0

Spectrum = tuple[npt.NDArray[np.float64], npt.NDArray[np.complex128]]


def synthetic(circuit: str, values: list[float], noise: float) -> Spectrum:
    f = np.geomspace(1e5, 1e-2, 60)
    z = np.asarray(kelvara.Circuit(circuit).with_values(values).impedance(f))
    rng = np.random.default_rng(3)
    return f, z * (1 + rng.normal(0, noise, f.size) + 1j * rng.normal(0, noise, f.size))


def spectra() -> Iterator[tuple[str, str, Spectrum]]:
    for name in MEASURED:
        frame = kl.drop_flagged(kl.read(SAMPLES / name))
        several = kl.SPECTRUM in frame.columns and frame[kl.SPECTRUM].nunique() > 1
        for index, one in kl.spectra(frame):
            f = one[kl.FREQUENCY].to_numpy()
            z = (one[kl.REAL] + 1j * one[kl.IMAGINARY]).to_numpy()
            label = Path(name).name + (f" #{index}" if several else "")
            yield label, "measured", (f, z)
    for label, (circuit, values) in SYNTHETIC.items():
        for noise in NOISES:
            yield label, f"{100 * noise:g} %", synthetic(circuit, values, noise)


def before(f: npt.NDArray[np.float64], z: npt.NDArray[np.complex128]) -> tuple[int, float, bool]:
    for m in range(3, min(50, 2 * f.size - 2) + 1):
        result = kl.kk_test(f, z, num_rc=m, add_capacitance=False)
        if result.mu < 0.85:
            return m, result.noise, result.noise <= MAX_NOISE
    return m, result.noise, False


def theirs(f: npt.NDArray[np.float64], z: npt.NDArray[np.complex128]) -> tuple[int, float]:
    import pyimpspec

    data = pyimpspec.DataSet(frequencies=f, impedances=z)
    result = pyimpspec.perform_kramers_kronig_test(data, num_procs=1)
    return int(result.num_RC), float(result.get_estimated_percent_noise())


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="kelvara_lab alone")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    verdict = {True: "pass", False: "**fail**"}
    print(
        "| spectrum | noise put in | before: M | noise % | verdict | now: M | noise % | verdict "
        "| pyimpspec: M | noise % | verdict |"
    )
    print("|---|---|--:|--:|---|--:|--:|---|--:|--:|---|")
    seconds = 0.0
    for label, kind, (f, z) in spectra():
        start = time.perf_counter()
        ours = kl.kk_test(f, z, max_noise=MAX_NOISE)
        seconds += time.perf_counter() - start
        m, noise, passed = before(f, z)
        cells = (
            f"| {m} | {noise:.2g} | {verdict[passed]} "
            f"| {ours.num_rc} | {ours.noise:.2g} | {verdict[ours.passed]} "
        )
        if args.quick:
            other = "| | | |"
        else:
            m, noise = theirs(f, z)
            other = f"| {m} | {noise:.2g} | {verdict[noise <= MAX_NOISE]} |"
        print(f"| {label} | {kind} {cells}{other}")
    print(f"\nkelvara_lab: {seconds:.2f} s for all spectra")


if __name__ == "__main__":
    main()
