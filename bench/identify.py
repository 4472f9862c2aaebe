"""identify's bars: recovery on synthetic spectra, time per spectrum, the sample spectra,
measured spectra against an analyst's circuits, degenerate data and thread-independence.

    python bench/identify.py [--spectra 10] [--circuits N] [--max-elements 6] [--samples-only]
                             [--measured-only] [--measured DIR] [--only NAME ...]

Recovery: 31 generating circuits (11 from the registry, 20 outside it, up to 6 elements of the
default kinds), `--spectra` spectra each: 60 points from 100 kHz to 10 mHz, the values drawn
around nominal ones (resistances x/÷ 1.6, time constants x/÷ 2, CPE exponents 0.75 to 0.95),
0.5 % complex Gaussian noise. A hit is the first-ranked (top-three) circuit having the
generating circuit's impedance family (the same equivalence key). Time: wall and CPU seconds
per spectrum, with the candidates generated, surviving the pruning, screened and searched.
Samples: on the repository's measured spectra, the first-ranked circuit's BIC against the best
of the circuits an analyst would pick (the README's two_rq_l for the bundled battery spectrum;
the registry's circuits and impedance.py's example circuit for the instrument samples).
Measured (``tests/data/real-spectra`` or ``--measured``): per spectrum, identify on one thread
against the best BIC of the analyst's circuits in PROVENANCE.md (each fitted by the default
thorough search); the bars are the top circuit acceptable (no plausibility rule broken)
>= 90 %, and acceptable with a BIC at most the analyst's best + 10 >= 80 %, median time
<= 10 s on one quiet core. Degenerate: white noise and 1-5 points trust nothing, a pure
resistor ranks R0 first with a finite score. Threads: the same ranking at 1, 2 and 4 threads.
"""

from __future__ import annotations

import argparse
import math
import re
import time
import warnings
from pathlib import Path

import numpy as np

import kelvara
import kelvara_lab as kl
from kelvara_lab.circuit.notation import REGISTRY
from kelvara_lab.identification.candidates import equivalence_key, parse
from kelvara_lab.identification.rank import identify
from kelvara_lab.identification.screen import score

ROOT = Path(__file__).resolve().parents[1]
F = np.logspace(5, -2, 60)
NOISE = 0.005
OUTSIDE = [
    "R0-(R1-W1,C1)",
    "R0-(R1-Wo1,CPE1)",
    "R0-(R1,CPE1)-W2",
    "R0-(R1,C1)-W2",
    "R0-(R1,CPE1)-CPE3",
    "R0-(R1,C1)-C3",
    "R0-(R1-(R2,CPE2),CPE1)",
    "R0-(R1-(R2,C2),CPE1)",
    "R0-(R1,CPE1)-(R2,CPE2)-CPE3",
    "L0-R0-(R1,CPE1)-W2",
    "L0-R0-(R1-W1,CPE1)",
    "R0-(R1,C1)-(R2,CPE2)",
    "R0-(R1,C1)-(R2-W2,CPE2)",
    "(R1,C1)-(R2,CPE2)",
    "R0-CPE3",
    "(R1,CPE1)-(R2,CPE2)-(R3,CPE3)",
    "L0-R0-(R1,C1)-(R2,CPE2)",
    "R0-(R1,CPE1)-Wo2",
    "L0-R0-(R1,CPE1)-CPE3",
    "R0-(R1,CPE1)-(R2,C2)-W3",
]
# Nominal values by label index: series resistance, then three arcs from high to low frequency.
RESISTANCE = {0: 10.0, 1: 100.0, 2: 200.0, 3: 150.0}
TAU = {1: 1e-4, 2: 2e-2, 3: 1.0}
BLOCKING = 1e-2  # F, a capacitor or CPE with no resistor of its index
PAPER_CIRCUIT = "R0-p(R1,C1)-p(R2-Wo1,C2)"  # impedance.py's getting-started circuit


def values(circuit: kelvara.Circuit, rng: np.random.Generator) -> list[float]:
    names = circuit.param_names()
    labels = {n.split(".")[0] for n in names}
    r_scale = {i: r * math.exp(rng.uniform(-0.47, 0.47)) for i, r in RESISTANCE.items()}
    tau = {i: t * math.exp(rng.uniform(-0.69, 0.69)) for i, t in TAU.items()}
    out = []
    alpha: dict[str, float] = {}
    for name in names:
        label, field = name.split(".")
        kind, index = re.fullmatch(r"([A-Za-z]+)(\d+)", label).groups()  # type: ignore[union-attr]
        i = int(index)
        has_r = f"R{i}" in labels
        if kind == "R":
            out.append(r_scale[i])
        elif kind == "L":
            out.append(5e-5)
        elif kind == "C":
            out.append(tau[i] / r_scale[i] if has_r else BLOCKING)
        elif kind == "CPE" and field == "alpha":
            out.append(alpha[label])
        elif kind == "CPE":
            a = alpha[label] = float(rng.uniform(0.75, 0.95))
            out.append(tau[i] ** a / r_scale[i] if has_r else BLOCKING)
        elif kind == "W":
            out.append(30.0 * math.exp(rng.uniform(-0.47, 0.47)))
        elif kind == "Wo" and field == "z0":
            out.append(100.0 * math.exp(rng.uniform(-0.47, 0.47)))
        else:  # Wo.tau
            out.append(10.0 * math.exp(rng.uniform(-0.69, 0.69)))
    return out


def recovery(circuits: list[str], spectra: int, max_elements: int, workers: int | None) -> None:
    print(f"{'circuit':34s} {'top1':>5s} {'top3':>5s} {'wall s':>7s} {'cpu s':>6s}  counts")
    hits1 = hits3 = total = 0
    walls, cpus = [], []
    for c, circuit in enumerate(circuits):
        model = kelvara.Circuit(circuit)
        truth = equivalence_key(parse(REGISTRY.get(circuit, circuit)))
        top1 = top3 = 0
        for s in range(spectra):
            rng = np.random.default_rng([c, s])
            z = model.with_values(values(model, rng)).impedance(F)
            z = z * (1 + NOISE * (rng.standard_normal(len(F)) + 1j * rng.standard_normal(len(F))))
            began, cpu = time.perf_counter(), time.process_time()
            table = identify((F, z), max_elements=max_elements, workers=workers, check=False)
            walls.append(time.perf_counter() - began)
            cpus.append(time.process_time() - cpu)
            keys = [equivalence_key(parse(t)) for t in table["circuit"].head(3)]
            top1 += bool(keys) and keys[0] == truth
            top3 += truth in keys
        hits1, hits3, total = hits1 + top1, hits3 + top3, total + spectra
        a = table.attrs
        print(
            f"{circuit:34s} {top1:5d} {top3:5d} {np.mean(walls[-spectra:]):7.2f} "
            f"{np.mean(cpus[-spectra:]):6.2f}  {a['distinct']} distinct, {a['survivors']} kept, "
            f"{a['searched']} searched",
            flush=True,
        )
    print(
        f"\nfirst: {hits1}/{total} = {100 * hits1 / total:.1f} % (bar 85 %); "
        f"top three: {hits3}/{total} = {100 * hits3 / total:.1f} % (bar 95 %)"
    )
    print(
        f"time per spectrum: wall median {np.median(walls):.2f} s (max {max(walls):.2f}), "
        f"CPU median {np.median(cpus):.2f} s (max {max(cpus):.2f}); "
        f"CPU / 2 cores is the unloaded two-core estimate (bar 10 s)"
    )


def samples(max_elements: int, workers: int | None) -> None:
    files = {
        "examples/data/battery_spectrum.csv": ["two_rq_l"],
        "tests/data/instrument-samples/impedance.py/exampleDataZPlot.z": None,
        "tests/data/instrument-samples/impedance.py/exampleDataGamry.DTA": None,
        "tests/data/instrument-samples/impedance.py/exampleDataBioLogic.mpt": None,
        "tests/data/instrument-samples/pyimpspec/data.dta": None,
    }
    print(
        f"\n{'sample':28s} {'hand-picked':28s} {'BIC':>9s}  {'identify first':34s} {'BIC':>9s}  s"
    )
    for name, picks in files.items():
        frame = kl.read(ROOT / name)
        sub = next(iter(kl.spectra(frame)))[1]
        chosen = picks or [*REGISTRY, PAPER_CIRCUIT]
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            hand = kl.compare(sub, chosen, check=False)
        began = time.perf_counter()
        table = identify(sub, max_elements=max_elements, workers=workers, check=False)
        seconds = time.perf_counter() - began
        best = hand.iloc[0]
        print(
            f"{Path(name).name:28s} {best['notation']:28s} {best['bic']:9.2f}  "
            f"{table['circuit'].iloc[0]:34s} {table['bic'].iloc[0]:9.2f}  {seconds:.1f}",
            flush=True,
        )


def analyst_circuits(folder: Path) -> dict[str, list[str]]:
    """File name -> the circuits PROVENANCE.md says an analyst would try first."""
    out: dict[str, list[str]] = {}
    name = ""
    for line in (folder / "PROVENANCE.md").read_text(encoding="utf-8").splitlines():
        if line.startswith("## "):
            name = line[3:].strip()
        elif "**analyst circuits**" in line and name:
            out[name] = re.findall(r"`([^`]+)`", line)
    return out


def measured(folder: Path, only: list[str] | None) -> None:
    picks = analyst_circuits(folder)
    print(
        f"\n{'spectrum':28s} {'analyst best':30s} {'BIC':>9s}  {'identify first':30s} "
        f"{'BIC':>9s} {'s':>5s} {'cpu':>5s}  rule broken"
    )
    acceptable = near = total = 0
    seconds: list[float] = []
    cpus: list[float] = []
    for name, circuits in picks.items():
        if only and not any(o in name for o in only):
            continue
        data = np.loadtxt(folder / name, delimiter=",", skiprows=1)
        f, z = data[:, 0], data[:, 1] + 1j * data[:, 2]
        best_bic, best = math.inf, "-"
        for circuit in circuits:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                try:
                    report = kl.fit(circuit, (f, z), check=False)
                except ValueError:
                    continue
            if math.isfinite(report.bic) and report.bic < best_bic:
                best_bic, best = report.bic, circuit
        began, cpu = time.perf_counter(), time.process_time()
        table = identify((f, z), workers=1, check=False)
        seconds.append(time.perf_counter() - began)
        cpus.append(time.process_time() - cpu)
        top = table.iloc[0]
        ok = not top["rule"]
        acceptable += ok
        near += ok and top["bic"] <= best_bic + 10
        total += 1
        print(
            f"{name[:-4]:28s} {best:30s} {best_bic:9.1f}  {top['circuit'][:30]:30s} "
            f"{top['bic']:9.1f} {seconds[-1]:5.1f} {cpus[-1]:5.1f}  {top['rule'] or '-'}",
            flush=True,
        )
    if total:
        print(
            f"\ntop acceptable: {acceptable}/{total} = {100 * acceptable / total:.0f} % "
            "(bar 90 %); "
            f"acceptable and BIC <= analyst + 10: {near}/{total} = {100 * near / total:.0f} % "
            f"(bar 80 %); time on one thread: median {np.median(seconds):.1f} s, "
            f"max {max(seconds):.1f} s; CPU median {np.median(cpus):.1f} s, max {max(cpus):.1f} s "
            "(bar median 10 s on a quiet core, where wall equals CPU)"
        )


def degenerate() -> None:
    rng = np.random.default_rng(7)
    f = np.logspace(5, -1, 40)
    noise = rng.standard_normal(40) + 1j * rng.standard_normal(40)
    cases = {"white noise": (f, noise), "white noise, positive": (f, 5 + noise)}
    for n in range(1, 6):
        cases[f"{n} point(s)"] = (f[:n], 10 + 5 / (1 + 1j * f[:n] * 1e-3))
    cases["pure resistor"] = (f, np.full(40, 42.0 + 0j))
    print("\ndegenerate data: bar nothing trusted (noise, few points) / R0 first (resistor)")
    for label, (ff, zz) in cases.items():
        try:
            table = identify((ff, zz), workers=1, check=False)
        except ValueError as error:
            print(f"  {label:24s} refused: {error}")
            continue
        top = table.iloc[0]
        print(
            f"  {label:24s} first {top['circuit']:24s} score {score(top['report']):10.4g} "
            f"trusted {int(table['trusted'].sum())} of {len(table)}"
        )


def threads(f: np.ndarray, z: np.ndarray) -> None:
    orders = {w: list(identify((f, z), workers=w, check=False)["circuit"]) for w in (1, 2, 4)}
    same = orders[1] == orders[2] == orders[4]
    print(f"\nsame ranking at 1, 2 and 4 threads: {same}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=10)
    parser.add_argument("--circuits", type=int, default=None, help="the first N circuits only")
    parser.add_argument("--max-elements", type=int, default=6)
    parser.add_argument("--workers", type=int, default=None)
    parser.add_argument("--samples-only", action="store_true")
    parser.add_argument("--measured-only", action="store_true")
    parser.add_argument("--measured", type=Path, default=ROOT / "tests/data/real-spectra")
    parser.add_argument("--only", nargs="*", help="measured spectra whose name holds one of these")
    args = parser.parse_args()
    circuits = [*REGISTRY, *OUTSIDE][: args.circuits]
    if not args.measured_only:
        if not args.samples_only:
            recovery(circuits, args.spectra, args.max_elements, args.workers)
        samples(args.max_elements, args.workers)
        degenerate()
        threads(
            F,
            kelvara.Circuit("two_rq")
            .with_values([10, 100, 1e-5, 0.9, 200, 1e-2, 0.8])
            .impedance(F),
        )
    measured(args.measured, args.only)


if __name__ == "__main__":
    main()
