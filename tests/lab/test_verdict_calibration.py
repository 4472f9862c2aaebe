"""The verdict's thresholds (calibration.toml) against the measured spectra they were chosen on.

Each case is a default-search fit of a measured spectrum (bench/verdict.py --cases wrote them):
the best of the circuits an analyst tries first, and the same circuit with one arc fewer. The
verdict is graded again from the stored values, so a threshold moved to where it breaks the
grading of real cells fails here (scripts/faults.toml seeds such moves)."""

import json
import math
from pathlib import Path

import numpy as np
import pytest

import kelvara
from kelvara_lab.fitting.grading import Evidence, judge
from kelvara_lab.fitting.verdict import noise_floor

SPECTRA = Path(__file__).resolve().parents[1] / "data" / "real-spectra"
CASES = json.loads((SPECTRA / "verdict_cases.json").read_text())


def spectrum(name):
    data = np.loadtxt(SPECTRA / name, delimiter=",", skiprows=1)
    return data[:, 0], data[:, 1] + 1j * data[:, 2]


def regraded(case):
    f, z = spectrum(case["spectrum"])
    model = kelvara.Circuit(case["circuit"])
    cost = case["cost"]
    return judge(
        Evidence(
            notation=case["circuit"],
            names=tuple(model.param_names()),
            values=tuple(case["values"]),
            stderr=tuple(math.nan if e is None else e for e in case["stderr"]),
            fixed=(),
            bounds=tuple(model.param_bounds()),
            catalogue=tuple(model.param_bounds()),
            frequencies=f,
            impedances=z,
            residuals=model.with_values(case["values"]).impedance(f) - z,
            cost=cost,
            floor=math.nan if case["floor"] is None else case["floor"],
            # What the search found: its best minimum reached again, or once.
            search_ends=(cost, cost) if case["converged"] else (cost,),
            searched_by="search='thorough'",
        )
    )


@pytest.fixture(scope="module")
def graded():
    return [(case, regraded(case)) for case in CASES]


def adequacy(verdict):
    return next(f for f in verdict.findings if f.kind == "adequacy")


def test_the_best_analyst_circuit_is_not_failed_and_its_adequacy_passes_near_the_floor(graded):
    best = [v for case, v in graded if case["role"] == "best"]
    assert len(best) >= 25
    not_failed = sum(v.status != "fail" for v in best)
    assert not_failed >= 0.9 * len(best), [str(v) for v in best if v.status == "fail"]
    # Within 3x the floor and random, the residuals say pass (hints and convergence may
    # still make the status a warn); above 6x they fail only with a pattern.
    for v in best:
        near = v.ratio <= 3 and not v.correlation > 0.5
        assert (adequacy(v).grade == "pass") == near, v.describe()
    assert sum(adequacy(v).grade == "pass" for v in best) >= 4


def test_one_arc_fewer_than_the_data_need_is_never_passed_and_mostly_failed(graded):
    best = {case["spectrum"]: v for case, v in graded if case["role"] == "best"}
    fewer = [
        v
        for case, v in graded
        if case["role"] == "one_arc_fewer" and v.level >= 2 * best[case["spectrum"]].level
    ]
    assert len(fewer) >= 10
    assert all(v.status != "pass" for v in fewer)
    failed = [v for v in fewer if v.status == "fail"]
    assert len(failed) >= 0.55 * len(fewer), [str(v) for v in fewer if v.status != "fail"]
    # The band of a missed feature is named.
    assert all(adequacy(v).band is not None for v in failed if adequacy(v).grade == "fail")


def test_white_noise_fails_whatever_the_circuit():
    rng = np.random.default_rng(11)
    f = np.logspace(5, -2, 60)
    z = 10 * (rng.standard_normal(60) + 1j * rng.standard_normal(60))
    model = kelvara.Circuit("R0-(R1,CPE1)")
    values = [0.1, 1.0, 1e-3, 0.8]
    v = judge(
        Evidence(
            notation="R0-(R1,CPE1)", names=tuple(model.param_names()), values=tuple(values),
            stderr=(0.01, 0.1, 1e-4, 0.01), fixed=(), bounds=tuple(model.param_bounds()),
            catalogue=tuple(model.param_bounds()), frequencies=f, impedances=z,
            residuals=model.with_values(values).impedance(f) - z, cost=1.0,
            floor=noise_floor(f, z), search_ends=(1.0, 1.0), searched_by="search='thorough'",
        )
    )  # fmt: skip
    assert v.status == "fail", v.describe()
