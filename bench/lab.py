"""kelvara_lab's fitting workflows, timed: fixed parameters, model choice, batches, Dask.

    .venv/bin/python bench/lab.py            # about two minutes on two cores
    .venv/bin/python bench/lab.py --quick    # a smoke run

Every kelvara call here runs with the module's pool at one thread (set before the first
fit), so threads, processes and Dask workers are compared on the cores alone.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import time
import warnings
from typing import Any

os.environ.setdefault("RAYON_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy.optimize import least_squares  # noqa: E402

import kelvara  # noqa: E402
import kelvara_lab  # noqa: E402

TRUTH = [1e-7, 0.02, 0.01, 0.05, 0.85, 0.03, 2.0, 0.8]  # two_rq_l
NAMES = kelvara.Circuit("two_rq_l").param_names()


def spectra(count: int, seed: int = 3) -> list[tuple[Any, Any]]:
    """60-point two_rq_l spectra with jittered resistances and 0.05 % noise."""
    rng = np.random.default_rng(seed)
    circuit = kelvara.Circuit("two_rq_l")
    f = np.logspace(4, -2, 60)
    out = []
    for _ in range(count):
        values = [
            v * rng.uniform(0.8, 1.2) if n.endswith(".r") else v
            for n, v in zip(NAMES, TRUTH, strict=True)
        ]
        z = circuit.with_values(values).impedance(f)
        z = z + 5e-4 * np.abs(z) * (rng.standard_normal(60) + 1j * rng.standard_normal(60))
        out.append((f, z))
    return out


def per_call(fn: Any, items: list[Any], passes: int = 3) -> float:
    fn(items[0])
    best = math.inf
    for _ in range(passes):
        start = time.perf_counter()
        for item in items:
            fn(item)
        best = min(best, (time.perf_counter() - start) / len(items))
    return best


def reference_cost(
    f: Any, z: Any, fixed: dict[str, float], start: dict[str, float], circuit: str = "two_rq_l"
) -> float:
    """Bounded trust-region least squares, physical coordinates, scipy's own Jacobian."""
    model = kelvara.Circuit(circuit)
    names = model.param_names()
    free = [n for n in names if n not in fixed]
    box = dict(zip(names, model.param_bounds(), strict=True))

    def residuals(p: Any) -> Any:
        full = [fixed.get(n, 0.0) for n in names]
        for n, v in zip(free, p, strict=True):
            full[names.index(n)] = v
        return np.asarray(model.residuals(full, f, z))

    lo, hi = [box[n][0] for n in free], [box[n][1] for n in free]
    result = least_squares(
        residuals,
        np.clip([start[n] for n in free], lo, hi),
        bounds=(lo, hi),
        jac="3-point",
        x_scale="jac",
        ftol=1e-12,
        xtol=1e-12,
        gtol=1e-12,
        max_nfev=5000,
    )
    return float(result.cost)


def fixed_cases(
    per_circuit: int, seed: int = 5
) -> list[tuple[str, Any, Any, dict[str, float], Any]]:
    """Every registry circuit at random values (0.5 % noise), one parameter held 20 % off."""
    rng = np.random.default_rng(seed)
    f = np.logspace(-2, 5, 60)
    cases = []
    for key in kelvara.Circuit.ml_circuits():
        circuit = kelvara.Circuit(key)
        names = circuit.param_names()
        for _ in range(per_circuit):
            values = [
                v * rng.uniform(0.9, 1.0) if n.endswith(".alpha") else v * 10 ** rng.uniform(-1, 1)
                for n, v in zip(names, circuit.param_values(), strict=True)
            ]
            z = circuit.with_values(values).impedance(f)
            z = z * (1 + 5e-3 * (rng.standard_normal(60) + 1j * rng.standard_normal(60)))
            i = int(rng.integers(len(names)))
            held = {names[i]: values[i] * rng.choice([0.8, 1.25])}
            cases.append((key, f, z, held, dict(zip(names, values, strict=True))))
    return cases


def wall(fn: Any) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--many", type=int, default=None, help="spectra in the batch rows")
    args = parser.parse_args()
    fits = 10 if args.quick else 40
    many = args.many or (400 if args.quick else 10_000)
    rows: list[tuple[str, str, str]] = []

    def row(what: str, value: str, note: str = "") -> None:
        rows.append((what, value, note))
        print(f"{what:58s} {value:>14s}  {note}", flush=True)

    print(
        f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
        f"pool RAYON_NUM_THREADS={os.environ['RAYON_NUM_THREADS']}"
    )
    items = spectra(fits)
    fixed = {"R0.r": 0.02}
    # The verdict's Lin-KK floor is given, so that the rows time the fits themselves.
    local = {"search": "local", "noise_floor": 0.0}
    default = per_call(lambda s: kelvara_lab.fit("two_rq_l", s, **local), items)
    bare = per_call(lambda s: kelvara.Circuit("two_rq_l").fit(*s), items)
    held = per_call(lambda s: kelvara_lab.fit("two_rq_l", s, fixed=fixed, **local), items)
    thorough = per_call(lambda s: kelvara_lab.fit("two_rq_l", s, noise_floor=0.0), items)
    judged = per_call(lambda s: kelvara_lab.fit("two_rq_l", s, search="local"), items)
    row("fit two_rq_l, local (kelvara's fit + checks + stats)", f"{default * 1e3:.2f} ms")
    row(
        "  the same with the verdict's Lin-KK floor computed",
        f"{judged * 1e3:.2f} ms",
        f"verdict {100 * (judged - default) / judged:.0f} % of the fit's time (bar 20 %)",
    )
    row("  kelvara Circuit.fit alone", f"{bare * 1e3:.2f} ms")
    row(
        "fit two_rq_l, R0.r fixed, search='local' (engine)",
        f"{held * 1e3:.2f} ms",
        f"{held / default:.2f}x the local fit (bar 1.3x); {held / bare:.2f}x Circuit.fit",
    )
    row("fit two_rq_l, default search='thorough'", f"{thorough * 1e3:.2f} ms")
    reached = 0
    for s in items:
        ours = kelvara_lab.fit("two_rq_l", s, fixed=fixed, **local).cost
        start = kelvara.Circuit("two_rq_l").fit(*s).params
        ref = min(
            reference_cost(*s, fixed, start),
            reference_cost(*s, fixed, dict(zip(NAMES, TRUTH, strict=True))),
        )
        reached += ours <= ref * (1 + 1e-6)
    row("  same minimum as the bounded reference optimiser", f"{reached}/{len(items)}")
    cases = fixed_cases(3 if args.quick else 20)
    same_start = best_start = searched = 0
    for key, f, z, hold, truth in cases:
        ours = kelvara_lab.fit(key, (f, z), fixed=hold, **local).cost
        thorough_cost = kelvara_lab.fit(key, (f, z), fixed=hold, noise_floor=0.0).cost
        own = reference_cost(f, z, hold, kelvara.Circuit(key).fit(f, z).params, key)
        oracle = reference_cost(f, z, hold, truth, key)
        same_start += ours <= own * (1 + 1e-6)
        best_start += ours <= min(own, oracle) * (1 + 1e-6)
        searched += thorough_cost <= min(own, oracle) * (1 + 1e-6)
    row(
        "  every registry circuit, one value held 20 % off",
        f"{same_start}/{len(cases)}",
        f"reference from kelvara's fit; {best_start}/{len(cases)} if it may start at the truth",
    )
    row("  the same with the search (default)", f"{searched}/{len(cases)}", "reference as above")

    one = items[0]
    for workers in (1, 2):
        t = per_call(lambda s, w=workers: kelvara_lab.compare(s, workers=w), [one] * 3, passes=3)
        row(
            f"compare, all 11 registry circuits, 60 points, {workers} thread(s)",
            f"{t * 1e3:.1f} ms",
        )

    batch = spectra(many, seed=11)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        serial = wall(
            lambda: kelvara_lab.fit_many("two_rq_l", batch, executor="serial", progress=False)
        )
        threads = wall(
            lambda: kelvara_lab.fit_many("two_rq_l", batch, executor="threads", progress=False)
        )
        processes = wall(
            lambda: kelvara_lab.fit_many("two_rq_l", batch, executor="processes", progress=False)
        )
    row(f"fit_many {many} two_rq_l, serial (one core)", f"{many / serial:.0f} fits/s")
    row(
        f"fit_many {many}, threads ({os.cpu_count()})",
        f"{many / threads:.0f} fits/s",
        f"{serial / threads:.2f}x one core",
    )
    row(
        f"fit_many {many}, processes ({os.cpu_count()}, spawn included)",
        f"{many / processes:.0f} fits/s",
        f"{serial / processes:.2f}x one core (bar 1.7x)",
    )

    from distributed import Client, LocalCluster

    rates = {}
    for workers in (1, 2):
        with (
            LocalCluster(
                n_workers=workers,
                processes=True,
                threads_per_worker=1,
                dashboard_address=None,
                host="127.0.0.1",
            ) as cluster,
            Client(cluster) as client,
        ):
            kelvara_lab.fit_many("two_rq_l", batch[:50], executor=client, progress=False)  # warm
            t = wall(
                lambda: kelvara_lab.fit_many("two_rq_l", batch, executor=client, progress=False)
            )
            rates[workers] = many / t
    row(f"Dask LocalCluster, 1 worker, {many} spectra", f"{rates[1]:.0f} fits/s")
    row(
        f"Dask LocalCluster, 2 workers, {many} spectra",
        f"{rates[2]:.0f} fits/s",
        f"{rates[2] / rates[1]:.2f}x one worker (bar 1.5x)",
    )
    per_core = rates[1]
    print(
        f"\n10^7 spectra on 100 nodes of 2 cores each at {per_core:.0f} fits/s per worker: "
        f"about {1e7 / (per_core * 200) / 60:.1f} minutes of fitting, if the scheduler keeps up"
    )


if __name__ == "__main__":
    main()
