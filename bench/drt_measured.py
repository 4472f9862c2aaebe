"""The DRT's bars on measured spectra (run by bench/drt.py, or alone:
OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/drt_measured.py [DIR]).

For each spectrum of DIR: the analyst's circuits of PROVENANCE.md fitted with ``kl.fit``
(the default thorough search), the best by BIC is "the analyst's best circuit"; its arcs are
its parallel pairs holding a resistance, and a Gerischer element. Then

- misfit: the DRT reproduces the spectrum within twice its noise floor, or warns;
- arcs: the DRT finds as many arcs as the best circuit has, each matched (nearest in tau)
  with its resistance within 20 %;
- suggestion: ``kl.fit`` of ``suggest_circuit()`` from its start values ends within 10 BIC
  of the best circuit, or below it;
- speed: ``kl.drt`` against pyimpspec's TR-RBF with its automatic lambda, side by side;
- order: ten shuffles of the rows give the identical result.
"""

from __future__ import annotations

import math
import re
import statistics
import sys
import time
import warnings
from pathlib import Path
from typing import Any

import numpy as np

import kelvara_lab as kl


def analyst_circuits(folder: Path) -> dict[str, list[str]]:
    text = (folder / "PROVENANCE.md").read_text(encoding="utf-8")
    out: dict[str, list[str]] = {}
    for block in re.split(r"^## ", text, flags=re.M)[1:]:
        name = block.split("\n", 1)[0].strip().removesuffix(".csv")
        line = re.search(r"\*\*analyst circuits\*\*: (.*)", block)
        if line:
            out[name] = re.findall(r"`([^`]+)`", line.group(1))
    return out


def load(path: Path) -> tuple[Any, Any]:
    d = np.loadtxt(path, delimiter=",", skiprows=1)
    return d[:, 0], d[:, 1] + 1j * d[:, 2]


def arcs_of(report: kl.FitReport) -> list[tuple[float, float]]:
    """(tau, R) of each arc of a fitted circuit: its (R,C)/(R,CPE) pairs and G elements."""
    values = report.params
    found = []
    for group in re.findall(r"\(([^()]*)\)", report.circuit):
        parts = group.split(",")
        rs = [p for p in parts if re.fullmatch(r"R\d+", p)]
        caps = [p for p in parts if re.fullmatch(r"(CPE|C)\d+", p)]
        if len(rs) == 1 and len(caps) == 1:
            r = values[f"{rs[0]}.r"]
            cap = caps[0]
            if cap.startswith("CPE"):
                q, a = values[f"{cap}.q"], values[f"{cap}.alpha"]
                tau = (r * q) ** (1 / a) if a > 0 else math.nan
            else:
                tau = r * values[f"{cap}.c"]
            found.append((tau, r))
    for g in re.findall(r"\bG\d+\b", report.circuit):
        found.append((values[f"{g}.tg"], values[f"{g}.rg"]))
    return sorted(found)


def arcs_match(result: kl.DrtResult, arcs: list[tuple[float, float]]) -> bool:
    peaks = result.peaks
    if len(peaks) != len(arcs):
        return False
    if not arcs:
        return True
    taus = peaks["tau"].to_numpy()
    for tau, r in arcs:
        i = int(np.argmin(np.abs(np.log(taus / tau))))
        if abs(peaks["r"].iloc[i] / r - 1) > 0.2:
            return False
    return True


def best(run: Any, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def identical(a: kl.DrtResult, b: kl.DrtResult) -> bool:
    return (
        a.lambda_ == b.lambda_
        and np.array_equal(a.gamma, b.gamma)
        and a.peaks.equals(b.peaks)
        and a.suggest_circuit() == b.suggest_circuit()
    )


def measured_bars(folder: Path, part: tuple[int, int] = (0, 1)) -> None:
    """The bars on the spectra of `folder` (`part` (k, n): every n-th file from the k-th, to
    share the work between processes)."""
    import pyimpspec

    circuits = analyst_circuits(folder)
    counts = {"misfit": 0, "arcs": 0, "suggest": 0, "order": 0}
    ratios = []
    files = sorted(p for p in folder.glob("*.csv") if p.stem in circuits)[part[0] :: part[1]]
    for path in files:
        f, z = load(path)
        result = kl.drt((f, z), check=False)
        counts["misfit"] += result.misfit <= 2 * result.noise_floor or bool(result.warnings)
        fits = []
        for notation in circuits[path.stem]:
            try:
                fits.append(kl.fit(notation, (f, z), check=False))
            except Exception as error:  # noqa: BLE001 - a circuit the engine refuses is skipped
                print(f"  {path.stem}: {notation}: {type(error).__name__}: {error}")
        analyst = min(fits, key=lambda report: report.bic)
        arcs = arcs_of(analyst)
        arcs_ok = arcs_match(result, arcs)
        counts["arcs"] += arcs_ok
        notation, start = result.suggest_circuit()
        try:
            ours = kl.fit(notation, (f, z), start=start, check=False)
            bic = ours.bic
        except Exception as error:  # noqa: BLE001 - reported as a miss
            print(f"  {path.stem}: suggested {notation}: {type(error).__name__}: {error}")
            bic = math.inf
        suggest_ok = bic <= analyst.bic + 10
        counts["suggest"] += suggest_ok
        rng = np.random.default_rng(0)
        same = True
        for _ in range(10):
            order = rng.permutation(f.size)
            same &= identical(kl.drt((f[order], z[order]), check=False), result)
        counts["order"] += same
        data = pyimpspec.DataSet(frequencies=f, impedances=z)
        theirs = best(lambda d=data: pyimpspec.calculate_drt(d, method="tr-rbf", num_procs=1), 1)
        mine = best(lambda f=f, z=z: kl.drt((f, z), check=False), 3)
        ratios.append(theirs / mine)
        print(
            f"{path.stem:30s} lambda {result.lambda_:.1e} floor {result.noise_floor:.3f} % "
            f"misfit {result.misfit:.3f} %{' WARN' if result.warnings else ''} | arcs "
            f"{len(result.peaks)} vs {len(arcs)} ({'ok' if arcs_ok else 'miss'}) | "
            f"{notation} BIC {bic:.1f} vs {analyst.circuit} {analyst.bic:.1f} "
            f"({'ok' if suggest_ok else 'miss'}) | {theirs / mine:.0f}x | order "
            f"{'same' if same else 'DIFFERS'}"
        )
    n = len(files)
    print(
        f"measured spectra ({n}): misfit within 2x floor or warned {counts['misfit']}/{n} "
        f"(bar 100 %); arcs as the analyst's best circuit {counts['arcs']}/{n} (bar 80 %); "
        f"suggest_circuit within 10 BIC {counts['suggest']}/{n} (bar 80 %); "
        f"shuffled rows identical {counts['order']}/{n}"
    )
    if ratios:
        print(
            f"speed against pyimpspec TR-RBF (automatic lambda), same spectra: median "
            f"{statistics.median(ratios):.0f}x, lowest {min(ratios):.1f}x (bar 30x, none "
            f"below 5x)"
        )


if __name__ == "__main__":
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        folder = Path(sys.argv[1]) if len(sys.argv) > 1 else Path("tests/data/real-spectra")
        part = (int(sys.argv[2]), int(sys.argv[3])) if len(sys.argv) > 3 else (0, 1)
        measured_bars(folder, part)
