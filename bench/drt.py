"""The DRT's bars side by side: on measured spectra (misfit or warning, arcs against the
analyst's best circuit, the suggested circuit's BIC, speed against pyimpspec's TR-RBF at its
automatic lambda, row order), accuracy on synthetic Zarc spectra, agreement with pyimpspec
at the same lambda, robustness over lambda, Z-HIT against pyimpspec's, and Dask on one and
two workers.

Run on one core: OPENBLAS_NUM_THREADS=1 .venv/bin/python bench/drt.py [--spectra 100]
[--dask 10000] [--measured DIR]. DIR holds measured spectra (frequency_hz, z_real_ohm,
z_imag_ohm) and a PROVENANCE.md naming each file's analyst circuits (by default the copies
in tests/data/real-spectra). pyimpspec's TR-RBF needs cvxopt (the bench dependency group).
"""

from __future__ import annotations

import argparse
import time
import warnings
from pathlib import Path
from typing import Any

import numpy as np

import kelvara
import kelvara_lab as kl

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"
SAMPLES = DATA / "instrument-samples"
MEASURED = DATA / "real-spectra"
#: the peers' problem: ohm-weighted, the window's basis alone, no ends model
PEERS: dict[str, Any] = {"weighting": "unit", "extend": 0, "inductance": False, "tail": None}
FILES = [
    "pyimpspec/data.mpt",
    "impedance.py/exampleDataGamry.DTA",
    "impedance.py/exampleDataBioLogic.mpt",
    "pyimpspec/drift-corrected-data.dta",
]


def zarcs(rng: np.random.Generator, count: int) -> tuple[Any, Any, Any, Any]:
    """1-3 Zarcs: alpha 0.75-1, resistances within 10x, tau >= 1.5 decades apart, 0.5 % noise."""
    f = np.logspace(5, -2, 71)
    while True:
        log_tau = np.sort(rng.uniform(-4.5, 0.0, count))
        if count == 1 or np.all(np.diff(log_tau) >= 1.5):
            break
    r = 10 ** rng.uniform(-2, -1, count)
    alpha = rng.uniform(0.75, 1.0, count)
    notation = "R0" + "".join(f"-Zarc{k + 1}" for k in range(count))
    values = [0.01] + [v for k in range(count) for v in (r[k], 10 ** log_tau[k], alpha[k])]
    z = kelvara.Circuit(notation).with_values(values).impedance(f)
    z = z + 0.005 * np.abs(z) * (rng.standard_normal(f.size) + 1j * rng.standard_normal(f.size))
    return f, z, 10**log_tau, r


def meets_bar(result: kl.DrtResult, tau: Any, r: Any) -> bool:
    peaks = result.peaks
    if peaks.empty:
        return False
    used = set()
    for t, rr in zip(tau, r, strict=True):
        distance = np.abs(np.log10(peaks["tau"].to_numpy() / t))
        i = int(np.argmin(distance))
        if distance[i] > 0.1 or abs(peaks["r"][i] / rr - 1) > (0.05 if len(tau) == 1 else 0.10):
            return False
        used.add(i)
    spurious = peaks["r"].drop(index=list(used))
    return bool((spurious <= 0.02 * r.sum()).all())


def accuracy(count: int, criteria: tuple[str, ...] = ("noise", "lcurve")) -> None:
    for criterion in criteria:
        shares = []
        for n in (1, 2, 3):
            rng = np.random.default_rng(100 + n)
            good = 0
            for _ in range(count):
                f, z, tau, r = zarcs(rng, n)
                good += meets_bar(kl.drt((f, z), criterion=criterion, check=False), tau, r)
            shares.append(f"{n} Zarc(s) {good}/{count}")
        print(f"accuracy, {criterion:6s}: " + ", ".join(shares) + " (bar 95 %)")


def best(run: Any, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def peers() -> None:
    import pyimpspec

    f = np.geomspace(1e5, 1e-2, 60)
    z = (
        kelvara.Circuit("R0-(R1,CPE1)-(R2,CPE2)")
        .with_values([0.02, 0.01, 0.05, 0.85, 0.03, 2.0, 0.8])
        .impedance(f)
    )
    data = pyimpspec.DataSet(frequencies=f, impedances=z)
    theirs = best(lambda: pyimpspec.calculate_drt(data, method="tr-rbf", num_procs=1), 3)
    ours = best(lambda: kl.drt((f, z), check=False), 20)
    with_peaks = best(lambda: kl.drt((f, z), check=False).peaks, 10)
    print(
        f"speed, 60 points with automatic lambda: kelvara_lab {1e3 * ours:.2f} ms "
        f"({1e3 * with_peaks:.1f} ms with the peak fits), pyimpspec TR-RBF (mgcv) "
        f"{1e3 * theirs:.0f} ms: {theirs / ours:.0f}x ({theirs / with_peaks:.0f}x) (bar 50x)"
    )
    for name in FILES:
        data = pyimpspec.parse_data(SAMPLES / name)[0]
        f, z = data.get_frequencies(), data.get_impedances()
        agreement = []
        for lam in (1e-4, 1e-3, 1e-2, 1e-1):
            drt = pyimpspec.calculate_drt(
                data, method="tr-rbf", lambda_value=lam, cross_validation="", num_procs=1
            )
            tau, gamma = drt.get_drt_data()
            ours_gamma = kl.drt((f, z), lambda_=lam, check=False, **PEERS).gamma_at(tau)
            error = np.linalg.norm(ours_gamma - gamma) / np.linalg.norm(gamma)
            agreement.append(f"{lam:g}: {100 * error:.2f} %")
        zhit = pyimpspec.perform_zhit(
            data, smoothing="none", interpolation="makima", window="boxcar", num_procs=1
        )
        ours_zhit = kl.zhit((f, z), check=False)
        zhit_error = np.max(np.abs(ours_zhit.modulus / np.abs(zhit.get_impedances()) - 1))
        robust = []
        for lam in 10.0 ** np.arange(-10, 2):
            result = kl.drt((f, z), lambda_=lam, check=False, **PEERS)
            robust.append(bool(np.all(np.isfinite(result.gamma)) and np.all(result.gamma >= 0)))
        print(
            f"{name}: gamma vs pyimpspec (rel. L2) at lambda "
            + ", ".join(agreement)
            + f"; Z-HIT max |dev| {100 * zhit_error:.2f} %; lambda 1e-10..10 finite, "
            f"non-negative: {sum(robust)}/{len(robust)}"
        )


def dask(count: int) -> None:
    from distributed import Client, LocalCluster

    rng = np.random.default_rng(5)
    spectra = [zarcs(rng, 2)[:2] for _ in range(count)]
    rates = {}
    for workers in (1, 2):
        with (
            LocalCluster(
                n_workers=workers, threads_per_worker=1, dashboard_address=None, processes=True
            ) as cluster,
            Client(cluster) as client,
        ):
            start = time.perf_counter()
            table = kl.drt_many(spectra, executor=client, progress=False)
            rates[workers] = count / (time.perf_counter() - start)
            assert (table["error"] == "").all()
    print(
        f"Dask, {count} spectra with peaks: 1 worker {rates[1]:.0f}/s, 2 workers "
        f"{rates[2]:.0f}/s: {rates[2] / rates[1]:.2f}x (bar 1.5x)"
    )


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=100, help="per Zarc count")
    parser.add_argument("--dask", type=int, default=2000, help="spectra through Dask")
    parser.add_argument("--measured", type=Path, default=MEASURED, help="measured spectra")
    args = parser.parse_args()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        from drt_measured import measured_bars

        measured_bars(args.measured)
        peers()
        accuracy(args.spectra)
        if args.dask:
            dask(args.dask)


if __name__ == "__main__":
    main()
