"""Lin-KK speed: kelvara_lab.kk_test against pyimpspec 5.1 on one 60-point spectrum.

Three comparisons, each the best of several repeats, pyimpspec on one process:
  default  - each library's own default test (pyimpspec: automatic RC count and
             extended time-constant range; kelvara_lab: mu criterion);
  mu       - the same job on both sides: no range extension, RC count by the mu criterion
             (pyimpspec: exploratory tests plus suggest_num_RC(methods=[1]));
  fixed M  - one fit with the number of RC elements given.
Run: .venv/bin/python bench/kk.py
"""

from __future__ import annotations

import time
import warnings
from collections.abc import Callable

import numpy as np
import pyimpspec
from pyimpspec.analysis.kramers_kronig import suggest_num_RC

import kelvara
from kelvara_lab import kk_test


def spectrum() -> tuple[np.ndarray, np.ndarray]:
    f = np.geomspace(1e5, 1e-2, 60)
    circuit = kelvara.Circuit("R0-(R1,CPE1)-(R2,CPE2)")
    z = np.asarray(circuit.with_values([0.02, 0.01, 0.05, 0.85, 0.03, 2.0, 0.8]).impedance(f))
    noise = np.random.default_rng(7).normal(0, 0.002, (2, f.size))
    return f, z * (1 + noise[0] + 1j * noise[1])


def best(run: Callable[[], object], repeats: int) -> float:
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        run()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    warnings.simplefilter("ignore")
    f, z = spectrum()
    data = pyimpspec.DataSet(frequencies=f, impedances=z)
    m = kk_test(f, z, weighting="unit").num_rc
    plain = dict(
        add_capacitance=False,
        add_inductance=True,
        admittance=False,
        log_F_ext=0.0,
        num_F_ext_evaluations=0,
        num_procs=1,
    )

    def pyimpspec_mu() -> object:
        tests, _ = pyimpspec.perform_exploratory_kramers_kronig_tests(data, test="complex", **plain)
        return suggest_num_RC(tests, methods=[1])

    rows = [
        (
            "default",
            lambda: pyimpspec.perform_kramers_kronig_test(data, num_procs=1),
            lambda: kk_test(f, z),
            5,
        ),
        ("mu", pyimpspec_mu, lambda: kk_test(f, z, weighting="unit"), 5),
        (
            f"fixed M={m}",
            lambda: pyimpspec.perform_kramers_kronig_test(data, test="complex", num_RC=m, **plain),
            lambda: kk_test(f, z, num_rc=m, weighting="unit"),
            50,
        ),
    ]
    print(f"60 points, kelvara_lab mu-criterion M = {m}")
    print(f"{'test':12s} {'pyimpspec':>12s} {'kelvara_lab':>12s} {'ratio':>8s}")
    for name, theirs, ours, repeats in rows:
        t_theirs, t_ours = best(theirs, repeats), best(ours, repeats * 10)
        print(
            f"{name:12s} {1e3 * t_theirs:9.2f} ms {1e3 * t_ours:9.3f} ms {t_theirs / t_ours:7.1f}x"
        )


if __name__ == "__main__":
    main()
