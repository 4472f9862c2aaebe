"""The graded verdict: what each check finds, that unknowns never pass, that exact fits rank
first, and that reports written before the grades still read."""

import dataclasses
import json
import math

import numpy as np
import pytest

import kelvara
import kelvara_lab
from kelvara_lab.fitting.grading import Evidence, judge
from kelvara_lab.fitting.report import information_criteria
from kelvara_lab.fitting.residuals import lag_one_correlation, misfit_band
from kelvara_lab.fitting.verdict import Verdict

TWO_ARCS = "R0-(R1,CPE1)-(R2,CPE2)"
TWO_ARC_VALUES = [1.0, 5.0, 1e-4, 0.9, 8.0, 1e-1, 0.85]


def noisy(notation, values, noise=0.01, seed=3, f=None):
    f = np.logspace(5, -2, 60) if f is None else f
    z = kelvara.Circuit(notation).with_values(values).impedance(f)
    rng = np.random.default_rng(seed)
    return f, z * (1 + noise * (rng.standard_normal(len(f)) + 1j * rng.standard_normal(len(f))))


def evidence(notation, values, f, z, *, floor, ends=(1.0, 1.0), cost=1.0, stderr=None):
    model = kelvara.Circuit(notation)
    return Evidence(
        notation=notation,
        names=tuple(model.param_names()),
        values=tuple(values),
        stderr=tuple(stderr or [0.01 * abs(v) for v in values]),
        fixed=(),
        bounds=tuple(model.param_bounds()),
        catalogue=tuple(model.param_bounds()),
        frequencies=f,
        impedances=z,
        residuals=model.with_values(list(values)).impedance(f) - z,
        cost=cost,
        floor=floor,
        search_ends=ends,
        searched_by="search='thorough'",
    )


def codes(verdict):
    return {f.code for f in verdict.findings}


def test_right_circuit_passes_and_one_arc_fewer_fails_with_the_band():
    f, z = noisy(TWO_ARCS, TWO_ARC_VALUES)
    right = kelvara_lab.fit(TWO_ARCS, (f, z), check=False)
    wrong = kelvara_lab.fit("R0-(R1,CPE1)", (f, z), check=False)
    assert right.verdict.status == "pass" and right.verdict.trusted, right.verdict.describe()
    assert {"converged", "at_floor"} <= codes(right.verdict)
    assert wrong.verdict.status == "fail" and not wrong.verdict.passed
    first = wrong.verdict.findings[0]
    assert first.code == "missing_feature" and first.band is not None
    assert "misses a feature" in str(wrong.verdict) and "Hz" in first.message
    back = kelvara_lab.FitReport.from_json(wrong.to_json())
    assert back.verdict == wrong.verdict


def test_a_local_fit_says_it_was_not_searched():
    f, z = noisy(TWO_ARCS, TWO_ARC_VALUES)
    local = kelvara_lab.fit(TWO_ARCS, (f, z), check=False, search="local", start=TWO_ARC_VALUES)
    assert local.verdict.status == "warn" and "not_searched" in codes(local.verdict)
    assert "search='local'" in local.verdict.describe()


@pytest.mark.parametrize(
    "ends, grade, next_text",
    [
        ((1.0, 1.0, 1.5, 3.0), "pass", "the next minimum costs 1.5x"),
        ((1.0, 1.2, 1.5), "warn", "the next minimum costs 1.2x"),
        ((1.0, 1.00000001), "pass", "no other"),
    ],
)
def test_convergence_counts_the_search_runs_that_reach_the_best_cost(ends, grade, next_text):
    f, z = noisy(TWO_ARCS, TWO_ARC_VALUES)
    e = evidence(TWO_ARCS, TWO_ARC_VALUES, f, z, floor=1.5, ends=ends)
    (finding,) = [x for x in judge(e).findings if x.kind == "convergence"]
    assert finding.grade == grade
    assert next_text in finding.message


def test_cpe_at_alpha_one_is_a_simplification_hint_not_a_failure():
    f, z = noisy("R0-(R1,C1)", [1.0, 5.0, 1e-4])
    report = kelvara_lab.fit("R0-(R1,CPE1)", (f, z), check=False, bounds={"CPE1.alpha": (0.5, 1)})
    v = report.verdict
    if "at_bound" in codes(v):  # alpha may stop just inside 1 with this noise
        hint = next(x for x in v.findings if x.code == "at_bound")
        assert hint.grade == "warn" and "behaves as a capacitor" in hint.message
        assert "R0-(R1,C1) has one parameter fewer" in hint.message
    e = evidence("R0-(R1,CPE1)", [1.0, 5.0, 1e-4, 1.0], f, z, floor=1.0)
    hint = next(x for x in judge(e).findings if x.code == "at_bound")
    assert hint.parameter == "CPE1.alpha" and hint.grade == "warn"
    assert "CPE1 behaves as a capacitor; R0-(R1,C1) has one parameter fewer" in hint.message


@pytest.mark.parametrize("relative_error, grade", [(0.5, None), (5.0, "warn"), (1e3, "fail")])
def test_standard_errors_grade_identifiability(relative_error, grade):
    f, z = noisy(TWO_ARCS, TWO_ARC_VALUES)
    stderr = [0.01 * v for v in TWO_ARC_VALUES]
    stderr[4] = relative_error * TWO_ARC_VALUES[4]
    v = judge(evidence(TWO_ARCS, TWO_ARC_VALUES, f, z, floor=1.0, stderr=stderr))
    found = [x for x in v.findings if x.parameter == "R2.r"]
    assert [x.grade for x in found] == ([] if grade is None else [grade])
    assert ("R2.r" in v.undetermined) == (grade is not None)


def test_white_noise_few_points_identical_frequencies_and_no_floor_never_pass():
    rng = np.random.default_rng(5)
    f = np.logspace(4, -1, 40)
    noise = (rng.standard_normal(40) + 1j * rng.standard_normal(40)) * 10
    cases = [(f, noise, None)]
    for n in (1, 3, 8):
        cases.append((*noisy("R0-(R1,C1)", [1, 2, 1e-3], f=np.logspace(4, -1, n)), None))
    same = np.full(20, 100.0)
    cases.append(
        (same, kelvara.Circuit("R0-(R1,C1)").with_values([1, 2, 1e-3]).impedance(same), None)
    )
    cases.append(
        (*noisy("R0-(R1,C1)", [1, 2, 1e-3], noise=0.2, f=np.logspace(4, -1, 12)), math.nan)
    )
    for f, z, floor in cases:
        try:
            r = kelvara_lab.fit("R0-(R1,CPE1)", (f, z), check=False, noise_floor=floor)
        except ValueError:
            continue  # refused outright
        assert r.verdict.status != "pass", (len(f), r.verdict.describe())


def test_residuals_that_are_not_finite_fail():
    f, z = noisy(TWO_ARCS, TWO_ARC_VALUES)
    e = evidence(TWO_ARCS, TWO_ARC_VALUES, f, z, floor=1.0)
    residuals = e.residuals.copy()
    residuals[7] = complex(math.nan, 0.0)
    v = judge(dataclasses.replace(e, residuals=residuals))
    assert v.status == "fail" and "not_finite" in codes(v)


def test_an_exact_fit_warns_and_its_criteria_rank_it_first():
    f = np.logspace(4, -1, 30)
    values = [1.0, 2.0, 1e-3]
    z = kelvara.Circuit("R0-(R1,C1)").with_values(values).impedance(f)
    e = evidence("R0-(R1,C1)", values, f, z, floor=0.0)
    v = judge(e)
    assert v.status == "warn" and "exact_fit" in codes(v)
    exact = information_criteria(0.0, 60, 3)
    near = information_criteria(1e-30, 60, 2)
    assert all(map(math.isfinite, exact)) and exact[1] < near[1]
    assert information_criteria(0.0, 60, 2)[1] < exact[1]
    assert math.isnan(information_criteria(math.nan, 60, 2)[0])


def test_residual_statistics_tell_a_pattern_from_noise():
    rng = np.random.default_rng(1)
    white = rng.standard_normal(200) + 1j * rng.standard_normal(200)
    assert abs(lag_one_correlation(white)) < 3 / math.sqrt(400)
    arc = np.exp(-(((np.arange(200) - 40) / 15) ** 2)) * (1 - 1j)
    assert lag_one_correlation(arc) > 0.9
    f = np.logspace(3, -2, 200)  # descending: the band comes out in Hz whatever the order
    band = misfit_band(f, arc * 0.1, floor=0.1, share=0.6)
    assert band is not None and not band.at_low_end and not band.at_high_end
    assert 10 < band.low < band.high < 1e3
    tail = np.where(f < 0.1, 0.1, 0.0) + 0j
    low = misfit_band(f, tail, floor=0.1, share=0.6)
    assert low.at_low_end and "below" in low.describe()
    assert misfit_band(f, np.zeros(200, complex), floor=1.0, share=0.6) is None


OLD_VERDICT = {
    "passed": False,
    "level": 2.5,
    "floor": 0.5,
    "at_floor": False,
    "at_bound": ["CPE1.alpha"],
    "undetermined": ["R2.r"],
}


def test_a_verdict_written_before_the_grades_reads_back():
    old = Verdict.from_dict(OLD_VERDICT)
    assert old.status == "fail" and not old.passed
    assert old.at_bound == ("CPE1.alpha",) and old.undetermined == ("R2.r",)
    assert not old.at_floor and old.level == 2.5
    assert Verdict.from_dict({**OLD_VERDICT, "passed": True, "at_floor": True,
                              "at_bound": [], "undetermined": []}).status == "pass"  # fmt: skip
    again = Verdict.from_dict(json.loads(json.dumps(old.to_dict())))
    assert again == old


def test_compare_trusts_only_a_pass_and_shows_status_and_finding():
    f, z = noisy(TWO_ARCS, TWO_ARC_VALUES)
    table = kelvara_lab.compare((f, z), [TWO_ARCS, "R0-(R1,CPE1)"], workers=1)
    assert list(table.index) == [TWO_ARCS, "R0-(R1,CPE1)"]
    assert list(table["status"]) == ["pass", "fail"]
    assert list(table["trusted"]) == [True, False]
    assert "misses a feature" in table.loc["R0-(R1,CPE1)", "finding"]


def test_nothing_fitted_to_white_noise_is_trusted():
    rng = np.random.default_rng(8)
    f = np.logspace(4, -1, 40)
    z = 10 * (rng.standard_normal(40) + 1j * rng.standard_normal(40))
    table = kelvara_lab.compare((f, z), ["rc", "R0-(R1,CPE1)"], workers=1, check=False)
    assert not table["trusted"].any()
    assert set(table["status"]) == {"fail"}
    assert table["finding"].str.contains("Lin-KK floor").all()
