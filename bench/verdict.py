"""The verdict's bars, on measured spectra and on synthetic ones.

Old rows (pass/fail verdict): two-arc spectra (R0-(R1,CPE1)-(R2,CPE2), arcs one to three
decades apart, resistances within a factor of five), 60 points from 100 kHz to 10 mHz, noise
0.5 %, 1 % and 2 % of |Z|, fitted by the default search with the right circuit and with one arc.
New rows (graded verdict), beside them:

- measured spectra (tests/data/real-spectra, or --spectra-dir): every analyst circuit of
  PROVENANCE.md fitted by the default search; the best by BIC is "the best analyst circuit".
  Its status (not "fail"; "pass" where the residuals are within 3x the floor and random);
  a search="local" fit from its values off by a decade that ends >= 1.5x its cost (never
  "pass"); the best circuit with one (R,CPE) arc fewer, where it has two (fail);
- white noise, 1-8 points, identical frequencies, NaN floor (never "pass");
- the verdict's cost beside the local fit's.

    python bench/verdict.py [--spectra 40] [--spectra-dir DIR] [--cases out.json]

--cases writes the measured fits (values, search ends, floor) that
tests/lab/test_verdict_calibration.py grades again.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import time
from pathlib import Path

import numpy as np

import kelvara
from kelvara_lab.fitting.grading import Evidence, judge
from kelvara_lab.fitting.run import fit, no_network_warning_silenced
from kelvara_lab.fitting.verdict import noise_floor

RIGHT, WRONG = "R0-(R1,CPE1)-(R2,CPE2)", "R0-(R1,CPE1)"
HERE = Path(__file__).resolve().parent
REPEATS = 10  # timings over repeats: one call is too short to time on a busy machine
SPECTRA = HERE.parent / "tests" / "data" / "real-spectra"


def analyst_circuits(directory: Path) -> dict[str, list[str]]:
    text = (directory / "PROVENANCE.md").read_text()
    out: dict[str, list[str]] = {}
    for block in text.split("\n## ")[1:]:
        name = block.splitlines()[0].strip()
        match = re.search(r"\*\*analyst circuits\*\*: (.*)", block)
        if match and (directory / name).exists():
            out[name] = re.findall(r"`([^`]+)`", match.group(1))
    return out


def spectrum(path: Path) -> tuple[np.ndarray, np.ndarray]:
    data = np.loadtxt(path, delimiter=",", skiprows=1)
    return data[:, 0], data[:, 1] + 1j * data[:, 2]


def one_arc_fewer(circuit: str) -> str | None:
    """The circuit without its last (R,CPE) arc, where it has two or more."""
    arcs = re.findall(r"-?\(R\d+,CPE\d+\)", circuit)
    if len(arcs) < 2:
        return None
    return circuit.replace(arcs[-1], "", 1).strip("-")


def rate(hits: int, total: int) -> str:
    return f"{hits:>3d}/{total:<3d} {100 * hits / max(total, 1):5.1f} %"


def measured(directory: Path, cases_path: Path | None) -> None:
    rows = []
    cases = []
    not_fail = at_random = passed_random = 0
    wrong_min = wrong_not_pass = fewer = fewer_fail = needed = needed_fail = 0
    for name, circuits in analyst_circuits(directory).items():
        f, z = spectrum(directory / name)
        floor = noise_floor(f, z)
        reports = []
        for circuit in circuits:
            try:
                with no_network_warning_silenced():
                    reports.append(fit(circuit, (f, z), check=False, noise_floor=floor))
            except ValueError as error:
                print(f"  {name} {circuit}: {error}")
        best = min(reports, key=lambda r: r.bic if math.isfinite(r.bic) else math.inf)
        v = best.verdict
        random_within = (
            v.ratio <= 3 and not any(x.code == "at_floor_structured" for x in v.findings)
            if math.isfinite(v.ratio)
            else False
        )
        not_fail += v.status != "fail"
        at_random += random_within
        passed_random += random_within and v.status == "pass"
        rows.append((name, best.circuit, v))
        cases.append(_case(name, "best", best, floor))
        # Wrong minima: local fits from the best values off by a decade either way.
        for factor in (10.0, 0.1):
            start = [x * factor if "alpha" not in n else x for n, x in best.params.items()]
            try:
                with no_network_warning_silenced():
                    local = fit(best.circuit, (f, z), check=False, noise_floor=floor,
                                search="local", start=start)  # fmt: skip
            except ValueError:
                continue
            if local.cost >= 1.5 * best.cost:
                wrong_min += 1
                wrong_not_pass += local.verdict.status != "pass"
        smaller = one_arc_fewer(best.circuit)
        if smaller is not None:
            with no_network_warning_silenced():
                short = fit(smaller, (f, z), check=False, noise_floor=floor)
            fewer += 1
            fewer_fail += short.verdict.status == "fail"
            # The data need the arc where taking it out doubles the residual level at least.
            if short.verdict.level >= 2 * v.level:
                needed += 1
                needed_fail += short.verdict.status == "fail"
            cases.append(_case(name, "one_arc_fewer", short, floor))
            rows.append((name, smaller, short.verdict))
    for name, circuit, v in rows:
        print(f"  {name:34s} {circuit:38s} {v.status:4s}  {v.headline[:90]}")
    total = sum(1 for _, _, v in rows) - fewer
    print("measured spectra (bar, figure):")
    bars = [
        ("best analyst circuit not 'fail' (>= 90 %)", not_fail, total),
        ("same, 'pass' where <= 3x floor and random (>= 80 %)", passed_random, at_random),
        ("wrong minimum (local, decade off) not 'pass' (>= 95 %)", wrong_not_pass, wrong_min),
        ("one arc fewer 'fail' (>= 95 %)", fewer_fail, fewer),
        ("  where the data need it (level doubles without it)", needed_fail, needed),
    ]
    for label, hits, count in bars:
        print(f"  {label:56s} {rate(hits, count)}")
    if cases_path is not None:
        cases_path.write_text(json.dumps(cases, indent=1) + "\n")


def _case(name: str, role: str, report, floor: float) -> dict:
    return {
        "spectrum": name,
        "role": role,
        "circuit": report.circuit,
        "values": list(report.values),
        "stderr": [e if math.isfinite(e) else None for e in report.stderr],
        "cost": report.cost,
        "converged": any(x.code == "converged" for x in report.verdict.findings),
        "floor": floor,
        "status": report.verdict.status,
    }


def degenerate() -> None:
    rng = np.random.default_rng(3)
    cases = []
    for _ in range(20):
        f = np.logspace(4, -1, 40)
        z = (rng.standard_normal(40) + 1j * rng.standard_normal(40)) * 10
        cases.append(("white noise", f, z))
    for n in range(1, 9):
        f = np.logspace(4, -1, n)
        z = kelvara.Circuit("R0-(R1,CPE1)").with_values([1, 2, 1e-3, 0.9]).impedance(f)
        cases.append((f"{n} points", f, z * (1 + 0.01 * rng.standard_normal(n))))
    f = np.full(20, 100.0)
    z = kelvara.Circuit("R0-(R1,CPE1)").with_values([1, 2, 1e-3, 0.9]).impedance(f)
    cases.append(("identical frequencies", f, z))
    f = np.logspace(4, -1, 12)
    z = kelvara.Circuit("R0-(R1,C1)").with_values([1, 2, 1e-3]).impedance(f)
    cases.append(("NaN floor", f, z * (1 + 0.2 * rng.standard_normal(12))))
    never = 0
    for _what, f, z in cases:
        try:
            with no_network_warning_silenced():
                floor = math.nan if _what == "NaN floor" else None
                r = fit("R0-(R1,CPE1)", (f, z), check=False, noise_floor=floor)
            never += r.verdict.status != "pass"
        except ValueError:
            never += 1  # refused outright: not a pass either
    print(f"  white noise, 1-8 points, identical f, NaN floor: never 'pass' (100 %) "
          f"{rate(never, len(cases))}")  # fmt: skip


def old_pass(verdict) -> bool:
    """The pass/fail verdict before the grades: at most 1.5x the floor (or 0.05 % above it),
    and no parameter at a bound or undetermined."""
    at_floor = verdict.level <= max(1.5 * verdict.floor, verdict.floor + 0.05)
    return at_floor and not verdict.at_bound and not verdict.undetermined


def synthetic(count: int) -> None:
    rng = np.random.default_rng(7)
    f = np.logspace(5, -2, 60)
    verdict_time = local_time = floor_time = 0.0
    print(f"{'noise':>6s}  {'old: wrong flagged':>14s}  {'right passed':>13s}   |  graded: "
          f"{'wrong fail':>13s}  {'wrong not pass':>14s}  {'right pass':>13s}")  # fmt: skip
    for noise in (0.005, 0.01, 0.02):
        flagged = passed = wrong_fail = wrong_held = right_pass = 0
        for _ in range(count):
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
            flagged += not old_pass(wrong.verdict)
            passed += old_pass(right.verdict)
            wrong_fail += wrong.verdict.status == "fail"
            wrong_held += wrong.verdict.status != "pass"
            right_pass += right.verdict.status == "pass"
            # The verdict's cost beside a local fit's: the grading alone, and with the Lin-KK
            # floor that fit() computes when it is not given.
            local = fit(RIGHT, (f, z), check=False, search="local", noise_floor=floor)
            evidence = _evidence(local, f, z, floor)
            t0 = time.perf_counter()
            for _ in range(REPEATS):
                kelvara.Circuit(RIGHT).fit(f, z)
            t1 = time.perf_counter()
            for _ in range(REPEATS):
                judge(evidence)
            t2 = time.perf_counter()
            noise_floor(f, z)
            t3 = time.perf_counter()
            local_time += t1 - t0
            verdict_time += t2 - t1
            floor_time += (t3 - t2) * REPEATS
        graded = f"{rate(wrong_fail, count)}  {rate(wrong_held, count)}  {rate(right_pass, count)}"
        print(f"{100 * noise:5.1f}%  {flagged:>8d}/{count}  {passed:>8d}/{count}      |  {graded}")
    n = 3 * count * REPEATS
    print(f"  local fit (kelvara's Circuit.fit) {1e3 * local_time / n:.2f} ms; the verdict's "
          f"grading {1e3 * verdict_time / n:.2f} ms = {100 * verdict_time / local_time:.0f} % "
          f"of it (bar <= 20 %); the Lin-KK floor {1e3 * floor_time / n:.2f} ms = "
          f"{100 * floor_time / local_time:.0f} %")  # fmt: skip


def _evidence(report, f, z, floor) -> Evidence:
    """What fit() hands the verdict (the model at the fitted values it computes anyway)."""
    model = kelvara.Circuit(report.circuit)
    return Evidence(
        notation=report.circuit, names=report.names, values=report.values,
        stderr=report.stderr, fixed=report.fixed, bounds=report.bounds,
        catalogue=tuple(model.param_bounds()), frequencies=f, impedances=z,
        residuals=report.impedance() - z, cost=report.cost, floor=floor,
        search_ends=None, searched_by="not searched (search='local')",
    )  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=40)
    parser.add_argument("--spectra-dir", type=Path, default=SPECTRA)
    parser.add_argument("--cases", type=Path)
    parts = ["measured", "synthetic", "degenerate"]
    parser.add_argument("--skip", nargs="*", default=[], choices=parts)
    args = parser.parse_args()
    print(f"load {os.getloadavg()[0]:.1f}")
    if "synthetic" not in args.skip:
        synthetic(args.spectra)
    if "degenerate" not in args.skip:
        degenerate()
    if "measured" not in args.skip:
        measured(args.spectra_dir, args.cases)
    print(f"load {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
