"""Every kelvara benchmark, side by side, in one run.

    .venv/bin/python -m pip install --group bench      # scipy and the impedance package
    .venv/bin/python bench/run.py                       # about two minutes on two cores
    .venv/bin/python bench/run.py --quick               # a smoke run of a few seconds

Prints one table: what was timed, kelvara's time, the other side's time and
their ratio, headed by the machine it ran on. Benchmarks are not tests: nothing
here asserts a speed.

The worker pool reads its size once per process (RAYON_NUM_THREADS), so every
single-thread measurement runs in a child process of this script started with
RAYON_NUM_THREADS=1; the child prints its timings as JSON.
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
import warnings
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

import numpy as np

import kelvara

ROOT = Path(__file__).resolve().parent.parent
TWO_PI = 6.283185307179586

# ---------------------------------------------------------------------------
# timing helpers


def best_time(fn: Callable[[], object], min_total: float = 0.2, repeats: int = 5) -> float:
    """Best of `repeats` means, each over enough calls to last `min_total` seconds."""
    fn()
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-7)
    calls = max(1, int(min_total / once))
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def machine() -> str:
    model = platform.processor() or platform.machine()
    flags: set[str] = set()
    try:
        first_cpu = Path("/proc/cpuinfo").read_text().split("\n\n")[0]
        fields = dict(line.split(":", 1) for line in first_cpu.splitlines())
        fields = {k.strip(): v.strip() for k, v in fields.items()}
        model = fields.get("model name", model)
        flags = set(fields.get("flags", "").split())
    except (OSError, ValueError):
        pass
    # Both kelvara's and NumPy's transcendental functions run as wide as this.
    simd = "AVX-512" if "avx512f" in flags else "AVX2" if "avx2" in flags else "no AVX2"
    return (
        f"{model} ({simd}), {os.cpu_count()} logical cores, Python {platform.python_version()}, "
        f"NumPy {np.__version__}, {platform.system()} {platform.release()}"
    )


# ---------------------------------------------------------------------------
# evaluation: "sei_randles_wo" = R0-(R1,CPE1)-(R2-Wo2,CPE2)

SEI_RANDLES_WO = {
    "R0.r": 0.02,
    "R1.r": 0.01,
    "CPE1.q": 0.05,
    "CPE1.alpha": 0.85,
    "R2.r": 0.03,
    "Wo2.z0": 0.01,
    "Wo2.tau": 5.0,
    "CPE2.q": 2.0,
    "CPE2.alpha": 0.8,
}


def numpy_sei_randles_wo(f: np.ndarray, p: dict[str, float]) -> np.ndarray:
    """The same circuit written as vectorised NumPy, as a user would."""
    s = 1j * (TWO_PI * f)
    z_cpe1 = 1.0 / (p["CPE1.q"] * s ** p["CPE1.alpha"])
    z_cpe2 = 1.0 / (p["CPE2.q"] * s ** p["CPE2.alpha"])
    x = np.sqrt(s * p["Wo2.tau"])
    z_wo = p["Wo2.z0"] / (x * np.tanh(x))
    arc1 = 1.0 / (1.0 / p["R1.r"] + 1.0 / z_cpe1)
    arc2 = 1.0 / (1.0 / (p["R2.r"] + z_wo) + 1.0 / z_cpe2)
    return p["R0.r"] + arc1 + arc2


EVAL_SIZES = (1_000, 10_000, 100_000, 1_000_000)


def evaluation_times(sizes: tuple[int, ...]) -> dict[str, float]:
    """kelvara's time per impedance() call at each size, with this process's pool."""
    circuit = kelvara.Circuit("sei_randles_wo").with_named_values(SEI_RANDLES_WO)
    out = {}
    for n in sizes:
        f = np.logspace(6, -3, n)
        out[str(n)] = best_time(functools.partial(circuit.impedance, f), min_total=0.1, repeats=5)
    return out


def numpy_times(sizes: tuple[int, ...]) -> dict[str, float]:
    out = {}
    for n in sizes:
        f = np.logspace(6, -3, n)
        ours = kelvara.Circuit("sei_randles_wo").with_named_values(SEI_RANDLES_WO).impedance(f)
        theirs = numpy_sei_randles_wo(f, SEI_RANDLES_WO)
        # A benchmark of two different functions would say nothing.
        assert np.allclose(ours, theirs, rtol=1e-10, atol=0), "NumPy formula disagrees"
        out[str(n)] = best_time(
            functools.partial(numpy_sei_randles_wo, f, SEI_RANDLES_WO), min_total=0.1, repeats=5
        )
    return out


# ---------------------------------------------------------------------------
# fitting: 60-point noisy spectra, one start shared by the three fitters

FIT_CASES = {
    # kelvara key, the impedance package's notation, true values
    "randles": (
        "R0-p(R1-W1,CPE1)",
        {"R0.r": 0.012, "R1.r": 0.025, "W1.aw": 0.004, "CPE1.q": 2.0, "CPE1.alpha": 0.85},
    ),
    "two_rq": (
        "R0-p(R1,CPE1)-p(R2,CPE2)",
        {
            "R0.r": 0.02,
            "R1.r": 0.01,
            "CPE1.q": 0.05,
            "CPE1.alpha": 0.85,
            "R2.r": 0.03,
            "CPE2.q": 2.0,
            "CPE2.alpha": 0.8,
        },
    ),
}
FIT_POINTS = 60
FIT_NOISE = 5e-4  # Gaussian, relative to |Z|, on each part
TOLERANCE = 0.02


def fit_problems(
    key: str, count: int, seed: int
) -> list[tuple[np.ndarray, np.ndarray, list[float], np.ndarray]]:
    """Spectra with jittered true values, each with a start a few times off."""
    _, base = FIT_CASES[key]
    circuit = kelvara.Circuit(key)
    names = circuit.param_names()
    rng = np.random.default_rng(seed)
    f = np.logspace(4, -2, FIT_POINTS)
    problems = []
    for _ in range(count):
        truth = np.array(
            [base[n] * (rng.uniform(0.9, 1.1) if not n.endswith("alpha") else 1.0) for n in names]
        )
        z = circuit.with_values(truth).impedance(f)
        z = z + FIT_NOISE * np.abs(z) * (
            rng.standard_normal(z.size) + 1j * rng.standard_normal(z.size)
        )
        start = []
        for n, value in zip(names, truth, strict=True):
            if n.endswith("alpha"):
                start.append(min(0.99, value * rng.uniform(0.85, 1.1)))
            else:
                start.append(value * 10 ** rng.uniform(-0.5, 0.5))
        problems.append((f, z, start, truth))
    return problems


def arcs_in_order(values: np.ndarray) -> np.ndarray:
    """two_rq's two (R, CPE) arcs are interchangeable: list the faster one first.

    Swapped arcs give the same spectrum and the same cost, so either order is
    the true answer.
    """
    r1, q1, a1, r2, q2, a2 = values[1:]
    if (r1 * q1) ** (1 / a1) > (r2 * q2) ** (1 / a2):
        return np.array([values[0], r2, q2, a2, r1, q1, a1])
    return values


def within(values, truth) -> bool:
    values = np.asarray(values, dtype=float)
    if len(values) == 7:
        values, truth = arcs_in_order(values), arcs_in_order(np.asarray(truth))
    return bool(np.all(np.abs(values - truth) <= TOLERANCE * np.abs(truth)))


def run_fits(fit_one: Callable[..., Any], problems: list, passes: int = 3) -> tuple[float, float]:
    """Seconds per fit (best pass) and the fraction that reached the true values."""
    fit_one(*problems[0][:3])  # import costs and caches out of the timing
    best = float("inf")
    for _ in range(passes):
        start = time.perf_counter()
        results = [fit_one(f, z, p0) for f, z, p0, _ in problems]
        best = min(best, (time.perf_counter() - start) / len(problems))
    hits = sum(
        within(values, truth) for values, (_, _, _, truth) in zip(results, problems, strict=True)
    )
    return best, hits / len(problems)


def kelvara_fitter(key: str):
    circuit = kelvara.Circuit(key)

    def fit(f, z, p0):
        result = circuit.with_values(p0).fit(f, z)
        return [result.params[n] for n in circuit.param_names()]

    return fit


def scipy_fitter(key: str):
    from scipy.optimize import least_squares

    circuit = kelvara.Circuit(key)
    lo, hi = (np.array(b) for b in zip(*circuit.param_bounds(), strict=True))

    def fit(f, z, p0):
        result = least_squares(
            lambda p: np.asarray(circuit.residuals(p, f, z)),
            p0,
            jac=lambda p: np.asarray(circuit.jacobian(p, f, z)),
            bounds=(lo, hi),
            method="trf",
            x_scale="jac",
        )
        return result.x

    return fit


def impedance_fitter(key: str):
    from impedance.models.circuits import CustomCircuit

    notation, _ = FIT_CASES[key]

    def fit(f, z, p0):
        model = CustomCircuit(notation, initial_guess=list(p0))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # its covariance warnings, not ours to judge
            model.fit(f, z, weight_by_modulus=True)
        return model.parameters_

    return fit


# ---------------------------------------------------------------------------
# many spectra from Python threads


def many_spectra_time(count: int, threads: int, repeats: int = 3) -> float:
    """Best of `repeats` wall times to fit `count` two_rq spectra on `threads` threads."""
    problems = fit_problems("two_rq", count, seed=7)
    circuit = kelvara.Circuit("two_rq")

    def fit(problem):
        f, z, p0, _ = problem
        return circuit.with_values(p0).fit(f, z).success

    with ThreadPoolExecutor(max_workers=threads) as pool:
        list(pool.map(fit, problems[: 4 * threads]))  # threads started, caches warm
        best = float("inf")
        for _ in range(repeats):
            start = time.perf_counter()
            list(pool.map(fit, problems))
            best = min(best, time.perf_counter() - start)
        return best


# ---------------------------------------------------------------------------
# the guess, for networks 16, 32 and 64 channels wide

GUESS_CHANNELS = (16, 32, 64)


def guess_times(folder: Path) -> dict[str, float]:
    sys.path.insert(0, str(ROOT / "tests"))
    from support.eisnn_format import encode_eisnn, random_guesser

    circuit = kelvara.Circuit("two_rq")
    truth = FIT_CASES["two_rq"][1]
    f = np.logspace(4, -2, FIT_POINTS)
    z = circuit.with_named_values(truth).impedance(f)
    out = {}
    for channels in GUESS_CHANNELS:
        path = folder / f"two_rq_{channels}.eisnn"
        metadata, tensors = random_guesser(
            "R0-(R1,CPE1)-(R2,CPE2)", circuit.param_names(), channels
        )
        path.write_bytes(encode_eisnn(metadata, tensors))
        out[str(channels)] = best_time(
            functools.partial(circuit.guess, f, z, weights=str(path)), min_total=0.2, repeats=5
        )
    return out


# ---------------------------------------------------------------------------
# the single-thread child


def child(args: argparse.Namespace) -> None:
    sizes = tuple(int(s) for s in args.sizes.split(","))
    result = {
        "evaluation": evaluation_times(sizes),
        "many": many_spectra_time(args.many, threads=1),
        # Each fit also spreads its Jacobian columns over the pool; with the
        # pool at one thread the Python threads alone share the cores.
        "many_threads": many_spectra_time(args.many, threads=os.cpu_count() or 1),
    }
    print(json.dumps(result))


def single_thread_run(sizes: tuple[int, ...], many: int) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    command = [
        sys.executable,
        __file__,
        "--child",
        "--sizes",
        ",".join(map(str, sizes)),
        "--many",
        str(many),
    ]
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# the table


def seconds(t: float) -> str:
    if t >= 1:
        return f"{t:8.2f} s "
    if t >= 1e-3:
        return f"{t * 1e3:8.2f} ms"
    return f"{t * 1e6:8.1f} us"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="tiny sizes: checks the script runs")
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--sizes", help=argparse.SUPPRESS)
    parser.add_argument("--many", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return

    sizes = EVAL_SIZES[:2] if args.quick else EVAL_SIZES
    fits = 5 if args.quick else 40
    many = 40 if args.quick else 1000
    cores = os.cpu_count() or 1

    rows: list[tuple[str, str, str, str, str]] = []

    def row(what: str, ours: float, other_name: str, other: float, note: str = "") -> None:
        rows.append(
            (what, seconds(ours), f"{other_name} {seconds(other)}", f"{other / ours:7.2f}x", note)
        )

    print(f"machine: {machine()}", flush=True)
    one = single_thread_run(sizes, many)
    pool = evaluation_times(sizes)
    reference = numpy_times(sizes)
    for n in sizes:
        k = str(n)
        row(
            f"impedance sei_randles_wo, {n:>7} points, 1 thread",
            one["evaluation"][k],
            "NumPy",
            reference[k],
        )
        row(
            f"impedance sei_randles_wo, {n:>7} points, {cores} threads",
            pool[k],
            "NumPy",
            reference[k],
        )
        row(
            f"  scaling {n:>7} points, {cores} threads vs 1",
            pool[k],
            "1 thread",
            one["evaluation"][k],
        )

    for key in FIT_CASES:
        problems = fit_problems(key, fits, seed=1)
        ours, ours_ok = run_fits(kelvara_fitter(key), problems)
        scipy_t, scipy_ok = run_fits(scipy_fitter(key), problems)
        peer_t, peer_ok = run_fits(impedance_fitter(key), problems, passes=1)
        row(
            f"LM fit {key}, per fit",
            ours,
            "scipy least_squares",
            scipy_t,
            f"within 2 %: kelvara {ours_ok:.0%}, scipy {scipy_ok:.0%}",
        )
        row(
            f"LM fit {key}, per fit",
            ours,
            "impedance package",
            peer_t,
            f"within 2 %: kelvara {ours_ok:.0%}, impedance {peer_ok:.0%}",
        )

    threads_t = many_spectra_time(many, threads=cores)
    row(
        f"{many} two_rq fits, {cores} Python threads vs 1, pool {cores}",
        threads_t,
        "1 thread",
        one["many"],
        f"{many / threads_t:.0f} fits/s",
    )
    row(
        f"{many} two_rq fits, {cores} Python threads vs 1, pool 1",
        one["many_threads"],
        "1 thread",
        one["many"],
        f"{many / one['many_threads']:.0f} fits/s",
    )

    with tempfile.TemporaryDirectory() as folder:
        guess = guess_times(Path(folder))
    base = guess[str(GUESS_CHANNELS[0])]
    for channels in GUESS_CHANNELS:
        row(
            f"guess(), {channels}-channel network",
            guess[str(channels)],
            f"{GUESS_CHANNELS[0]} channels",
            base,
            "ratio < 1: slower than the 16-channel one",
        )

    widths = [max(len(r[i]) for r in rows) for i in range(5)]
    header = ("benchmark", "kelvara", "compared with", "ratio", "")
    widths = [max(w, len(h)) for w, h in zip(widths, header, strict=True)]
    print()
    print("  ".join(h.ljust(w) for h, w in zip(header, widths, strict=True)).rstrip())
    for r in rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip())
    print("\nratio = other time / kelvara time: above 1, kelvara is that many times faster.")

    # kelvara_lab's workflows (fixed-parameter fits, compare, fit_many, Dask) need its
    # dependencies and a one-thread pool of their own: bench/lab.py runs them in a child.
    lab = [sys.executable, str(ROOT / "bench" / "lab.py"), *(["--quick"] if args.quick else [])]
    print("\nkelvara_lab workflows:", flush=True)
    subprocess.run(lab, env=dict(os.environ, RAYON_NUM_THREADS="1"), check=True)


if __name__ == "__main__":
    main()
