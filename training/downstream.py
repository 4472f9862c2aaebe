"""How often the default fit reaches the global minimum, on today's or the stress distribution.

    python training/downstream.py run two_rq_l --dist stress --count 50 --workers 2
    python training/downstream.py run two_rc --dist stress --weights training/out/two_rc.eisnn \
        --out training/out/candidate
    python training/downstream.py report      # the REPORT.md section from out/downstream/

Needs numpy and the installed module only (no torch). Each spectrum has its own seed, so
the result does not depend on the worker count, and each fit runs on one thread.

Per spectrum (0.5 % noise): the fit started from the truth, the default fit, the fit with
guess_init=False and basin hopping from the default result (BASIN_HOPS hops, seeded); the
default fit reaches the global minimum when its cost is within 1e-6 relative of the best
of the four. Beside it, the guess's error and the error of the fit from the truth.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from multiprocessing import get_context
from pathlib import Path

os.environ["RAYON_NUM_THREADS"] = "1"  # before the module loads: one thread per fit

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import numpy as np  # noqa: E402
from networks import NETWORKS  # noqa: E402
from stress import SAMPLERS  # noqa: E402

OUT = HERE / "out" / "downstream"
REPORT = HERE / "REPORT.md"
SECTION = "Downstream rates of the shipped networks"
SIGMA = 0.005
# Seeds no training run draws from (training uses 20261206 + key, evaluate 777 + key).
SEED = 17_0017
# Basin hopping's budget: 10 hops of step 1 (solver coordinates) at temperature 1, each
# hop one Levenberg-Marquardt run; about ten default fits' worth.
BASIN_HOPS = 10
REL = 1e-6


def _rng(key: str, dist: str, i: int) -> np.random.Generator:
    return np.random.default_rng([SEED, list(SAMPLERS).index(dist), list(NETWORKS).index(key), i])


def _errors(names, values, truth) -> list[float]:
    return [
        abs(v - t) if n.endswith(".alpha") else abs(v / t - 1.0)
        for v, t, n in zip(values, truth, names, strict=True)
    ]


def one(job: tuple[str, str, int, str | None]) -> dict:
    """Every number of spectrum i; `weights` is a weight file to try instead of the built-in."""
    import kelvara

    key, dist, i, weights = job
    draw = SAMPLERS[dist](key, _rng(key, dist, i), sigma=SIGMA)
    f, z, truth = draw.freqs, draw.z, draw.truth
    circuit = kelvara.Circuit(NETWORKS[key].circuit)
    names = circuit.param_names()

    def values(result):
        return [result.params[n] for n in names]

    from_truth = circuit.with_values(truth.tolist()).fit(f, z)
    default = circuit.fit(f, z, weights=weights)
    blind = circuit.fit(f, z, guess_init=False)
    hop = circuit.with_values(values(default)).fit(
        f, z, method="basin_hopping", basin_hopping_hops=BASIN_HOPS, seed=int(i)
    )
    costs = {
        "truth": from_truth.cost,
        "default": default.cost,
        "blind": blind.cost,
        "hop": hop.cost,
    }
    best = min(costs.values())

    def within(cost: float, rel: float) -> bool:
        return bool(cost <= best * (1.0 + rel) + 1e-300)

    guess = circuit.guess(f, z, weights=weights)
    return {
        "i": int(i),
        "extra": draw.extra,
        "costs": costs,
        "hit": within(default.cost, REL),
        # The ceiling of a guess that learnt the generating values: where the fit from the
        # truth itself ends above the minimum, only a guess of another valley would do.
        "truth_hit": within(from_truth.cost, REL),
        "valley": within(default.cost, 1e-3),
        "guess_error": _errors(names, guess, truth),
        "fit_error": _errors(names, values(from_truth), truth),
    }


def run(
    key: str,
    dist: str,
    count: int,
    workers: int,
    start: int = 0,
    out: Path = OUT,
    weights: Path | None = None,
) -> dict:
    started = time.time()
    file = str(weights.resolve()) if weights else None
    jobs = [(key, dist, i, file) for i in range(start, start + count)]
    if workers > 1:
        with get_context("fork").Pool(workers) as pool:
            rows = pool.map(one, jobs, chunksize=1)
    else:
        rows = [one(job) for job in jobs]
    seconds = time.time() - started
    import kelvara

    names = kelvara.Circuit(NETWORKS[key].circuit).param_names()
    guess_err = np.array([r["guess_error"] for r in rows])
    fit_err = np.array([r["fit_error"] for r in rows])
    summary = {
        "key": key,
        "dist": dist,
        "n": count,
        "start": start,
        "hits": sum(r["hit"] for r in rows),
        "valley": sum(r["valley"] for r in rows),
        "truth_hits": sum(r["truth_hit"] for r in rows),
        "richer": sum(r["extra"] is not None for r in rows),
        "richer_hits": sum(r["hit"] for r in rows if r["extra"] is not None),
        "median_guess_error": dict(zip(names, np.median(guess_err, axis=0).tolist(), strict=True)),
        "median_fit_error": dict(zip(names, np.median(fit_err, axis=0).tolist(), strict=True)),
        "seconds": round(seconds, 1),
        "workers": workers,
        "basin_hops": BASIN_HOPS,
        "date": time.strftime("%Y-%m-%d", time.gmtime()),
        "weights": file,
        "misses": [r for r in rows if not r["hit"]],
    }
    out.mkdir(parents=True, exist_ok=True)
    path = out / f"{key}-{dist}.json"
    path.write_text(json.dumps(summary, indent=1))
    print(
        f"{key} {dist}: {summary['hits']}/{count} at the global minimum "
        f"({summary['valley']}/{count} within 0.1 %), {seconds:.0f} s on {workers} workers "
        f"-> {path}",
        flush=True,
    )
    return summary


def _pct(name: str, v: float) -> str:
    return f"{v:.3f}" if name.endswith(".alpha") else f"{v:.1%}"


def section(results: list[dict]) -> str:
    """The REPORT.md section: one rate table, then per network the median errors."""
    lines = [
        f"## {SECTION}",
        "",
        "Written by `python training/downstream.py report` from the runs in "
        "`training/out/downstream/`. Held-out spectra at 0.5 % noise; the default fit "
        "reaches the global minimum when its cost is within 1e-6 relative of the best of the "
        "fit from the truth, the default fit, the fit with guess_init=False and basin "
        f"hopping from the default result ({BASIN_HOPS} hops). On the stress distribution "
        "the truth of a spectrum made by a richer circuit is the network circuit's best "
        "global fit of it. These are the numbers a retrained network must beat (bar: 98 % "
        'today, 95 % stress). The column "from the truth" counts the spectra where the '
        "fit started from the generating values reaches that minimum: what a guess equal "
        "to the generating values would reach.",
        "",
        "| network | distribution | N | global minimum | within 0.1 % | from the truth "
        "| richer spectra (hits) | date | seconds (workers) |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    order = {k: i for i, k in enumerate(NETWORKS)}
    results = sorted(results, key=lambda r: (order[r["key"]], list(SAMPLERS).index(r["dist"])))
    for r in results:
        n = r["n"]
        richer = f"{r['richer']} ({r['richer_hits']})" if r["dist"] == "stress" else "-"
        truth = r.get("truth_hits")  # runs written before it was counted have none
        ceiling = "-" if truth is None else f"{truth}/{n} ({truth / n:.1%})"
        lines.append(
            f"| {r['key']} | {r['dist']} | {n} | {r['hits']}/{n} ({r['hits'] / n:.1%}) "
            f"| {r['valley']}/{n} ({r['valley'] / n:.1%}) | {ceiling} | {richer} | {r['date']} "
            f"| {r['seconds']:.0f} ({r['workers']}) |"
        )
    lines += [
        "",
        "Median error per value (relative; exponents absolute): the guess, then the fit "
        "started from the truth (what the data fix).",
        "",
    ]
    for key in dict.fromkeys(r["key"] for r in results):
        mine = [r for r in results if r["key"] == key]
        head = " | ".join(f"{r['dist']} guess | {r['dist']} fit" for r in mine)
        lines += [f"| {key} | {head} |", "|---|" + "---|" * (2 * len(mine))]
        for name in mine[0]["median_guess_error"]:
            cells = " | ".join(
                f"{_pct(name, r['median_guess_error'][name])} | "
                f"{_pct(name, r['median_fit_error'][name])}"
                for r in mine
            )
            lines.append(f"| {name} | {cells} |")
        lines.append("")
    return "\n".join(lines)


def write_section(text: str) -> None:
    """Replace (or append) the section in REPORT.md, leaving every other section alone."""
    report = REPORT.read_text()
    marker = f"\n## {SECTION}\n"
    if marker in report:
        before, after = report.split(marker, 1)
        rest = after.split("\n## ", 1)
        tail = "\n## " + rest[1] if len(rest) > 1 else ""
        report = before.rstrip() + "\n\n" + text.rstrip() + "\n" + tail
    else:
        report = report.rstrip() + "\n\n" + text.rstrip() + "\n"
    REPORT.write_text(report)


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    go = sub.add_parser("run", help="measure one network on one distribution")
    go.add_argument("key", choices=list(NETWORKS))
    go.add_argument("--dist", choices=list(SAMPLERS), default="today")
    go.add_argument("--count", type=int, default=50)
    go.add_argument("--workers", type=int, default=1, help="processes, one thread each")
    go.add_argument("--start", type=int, default=0, help="index of the first spectrum")
    go.add_argument("--out", type=Path, default=OUT, help="folder for the result (%(default)s)")
    go.add_argument("--weights", type=Path, help="weight file to use instead of the built-in one")
    sub.add_parser("report", help=f'write "{SECTION}" in REPORT.md from out/downstream/')
    args = parser.parse_args(argv)
    if args.command == "run":
        if args.count < 1 or args.workers < 1:
            parser.error("--count and --workers must be at least 1")
        if args.weights and not args.weights.is_file():
            parser.error(f"--weights: no file {args.weights}")
        run(args.key, args.dist, args.count, args.workers, args.start, args.out, args.weights)
        return
    results = [json.loads(p.read_text()) for p in sorted(OUT.glob("*.json"))]
    if not results:
        parser.error(f"no results in {OUT}")
    write_section(section(results))
    print(f"wrote the section to {REPORT}")


if __name__ == "__main__":
    main()
