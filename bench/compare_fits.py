"""The fit rows of bench/run.py for two builds of the module, side by side.

    python bench/compare_fits.py BEFORE_PYTHON AFTER_PYTHON [--rounds 3] [--count 40]

Each build's interpreter runs the same single-thread fits (RAYON_NUM_THREADS=1)
in a child process, the two alternating round by round so that load on the
machine falls on both; the best round of each is reported with the ratio
after / before.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent


def child(count: int) -> None:
    sys.path.insert(0, str(HERE))
    import run

    out = {}
    for key in run.FIT_CASES:
        problems = run.fit_problems(key, count, seed=3)
        seconds, hits = run.run_fits(run.kelvara_fitter(key), problems)
        out[key] = {"seconds": seconds, "hits": hits}
    print(json.dumps(out))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("before", nargs="?")
    parser.add_argument("after", nargs="?")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--count", type=int, default=40)
    parser.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.count)
        return
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    best: dict[str, dict] = {"before": {}, "after": {}}
    for _ in range(args.rounds):
        for side, python in (("before", args.before), ("after", args.after)):
            cmd = [python, __file__, "--child", "--count", str(args.count)]
            run = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True)
            rows = json.loads(run.stdout)
            for key, row in rows.items():
                if key not in best[side] or row["seconds"] < best[side][key]["seconds"]:
                    best[side][key] = row
    print(
        f"{'fit (one thread)':<20}{'before ms':>11}{'after ms':>10}"
        f"{'after/before':>14}{'hits b/a':>12}"
    )
    for key, b in best["before"].items():
        a = best["after"][key]
        print(
            f"{key:<20}{b['seconds'] * 1e3:>11.3f}{a['seconds'] * 1e3:>10.3f}"
            f"{a['seconds'] / b['seconds']:>14.3f}{b['hits']:>6.2f}/{a['hits']:.2f}"
        )


if __name__ == "__main__":
    main()
