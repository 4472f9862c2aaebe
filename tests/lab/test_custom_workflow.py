"""Custom elements through the workflow: fits equal to the built-ins', reports and their JSON,
fit_many on processes and Dask (the workers get the definitions from the work), compare,
identify, drt_of, plots and the command line."""

import numpy as np
import pytest
from click.testing import CliRunner
from hn_element import INF, define_hn, forget_all

import kelvara_lab as kl
from kelvara_lab import _engine
from kelvara_lab.circuit import elements
from kelvara_lab.cli.main import main

F = np.logspace(5, -2, 60)
TRUTH = [0.1, 2.0, 1e-3, 0.85, 0.7]


def noisy(notation: str, values: list[float], seed: int = 0) -> np.ndarray:
    z = _engine.impedance(notation, values, F)
    return z * (1 + 0.003 * np.random.default_rng(seed).standard_normal(len(F)))


@pytest.fixture(autouse=True)
def hn():
    define_hn()
    yield
    forget_all()


@pytest.mark.parametrize(
    ("builtin", "formula", "parameters", "values"),
    [
        (
            "CPE",
            "1/(q*(j*w)**alpha)",
            {"q": ("", 1e-3, (1e-12, INF)), "alpha": ("", 0.8, (0, 1))},
            [2e-3, 0.82],
        ),
        (
            "Wo",
            "z0/(sqrt(j*w*tau)*tanh(sqrt(j*w*tau)))",
            {"z0": ("ohm", 1, (1e-12, INF)), "tau": ("s", 10, (1e-12, INF))},
            [1.0, 2.0],
        ),
        (
            "G",
            "rg/sqrt(1 + j*w*tg)",
            {"rg": ("ohm", 1, (1e-12, INF)), "tg": ("s", 1, (1e-12, INF))},
            [1.0, 0.01],
        ),
    ],
)
@pytest.mark.parametrize("search", ["local", "thorough"])
def test_built_ins_written_as_formulas_fit_to_the_same_values(
    builtin, formula, parameters, values, search
):
    elements.element("Twin", formula, parameters)
    truth = [0.05, 1.0, *values]
    z = noisy(f"R0-(R1,{builtin}1)", truth)
    start = [v * 1.3 for v in truth]
    start[3] = min(start[3], 0.95)
    theirs = kl.fit(
        f"R0-(R1,{builtin}1)", (F, z), start=start, search=search, check=False, noise_floor=0.3
    )
    mine = kl.fit("R0-(R1,Twin1)", (F, z), start=start, search=search, check=False, noise_floor=0.3)
    np.testing.assert_allclose(mine.values, theirs.values, rtol=1e-8)
    np.testing.assert_allclose(mine.stderr, theirs.stderr, rtol=1e-4)


def test_a_report_keeps_its_definitions_through_json_and_a_fresh_process_state():
    report = kl.fit("R0-HN1", (F, noisy("R0-HN1", TRUTH)), check=False, noise_floor=0.3)
    assert report.success and report.verdict is not None
    np.testing.assert_allclose(report.values, TRUTH, rtol=0.02)
    assert [e.code for e in report.elements] == ["HN"]
    assert "element       HN: Z = R / (1 + (j*w*tau)**alpha)**beta" in str(report)
    assert "element HN" in report._repr_html_()
    text = report.to_json()
    elements.forget("HN")  # as in another session: the report brings its own definition
    again = kl.FitReport.from_json(text)
    assert again.elements == report.elements
    np.testing.assert_array_equal(again.impedance(), report.impedance())
    report.plot()


def test_kelvaras_own_global_methods_refuse_custom_circuits_clearly():
    with pytest.raises(ValueError, match="knows the built-in elements only"):
        kl.fit("R0-HN1", (F, noisy("R0-HN1", TRUTH)), method="particle_swarm", check=False)


@pytest.fixture(scope="module")
def batch():
    define_hn()
    return [(F, noisy("R0-HN1", [0.1, 2.0 * (1 + k / 10), 1e-3, 0.85, 0.7], k)) for k in range(4)]


def test_fit_many_on_processes_and_dask_gets_the_definitions_from_the_work(batch, dask_client):
    options = {"check": False, "noise_floor": 0.3, "progress": False, "search": "quick"}
    serial = kl.fit_many("R0-HN1", batch, executor="serial", **options)
    assert (serial["error"] == "").all()
    columns = [c for c in serial.columns if c.startswith(("R0.", "HN1."))]
    for executor in ("processes", dask_client):
        other = kl.fit_many("R0-HN1", batch, executor=executor, chunk_size=1, **options)
        assert (other["error"] == "").all(), other["error"].tolist()
        np.testing.assert_array_equal(other[columns].to_numpy(), serial[columns].to_numpy())


def test_compare_identify_and_drt_of_know_custom_elements():
    z = noisy("R0-HN1", TRUTH)
    table = kl.compare((F, z), ["R0-HN1", "R0-(R1,CPE1)"], check=False)
    assert table.index[0] == "R0-HN1"
    ranked = kl.identify((F, z), elements=("R", "CPE", "HN"), max_elements=2, check=False)
    assert ranked["circuit"].iloc[0] == "R0-HN0"
    with pytest.raises(ValueError, match="your own elements \\['HN'\\]"):
        kl.identify((F, z), elements=("R", "XY"), check=False)
    report = kl.fit("R0-HN1", (F, z), check=False, noise_floor=0.3)
    found = kl.drt_of(report)
    area = float(np.sum((found.gamma[1:] + found.gamma[:-1]) / 2 * np.diff(np.log(found.tau))))
    assert area == pytest.approx(report.params["HN1.R"], rel=0.02)  # the arc's resistance
    assert found.r_inf == pytest.approx(report.params["R0.r"], rel=0.02)
    elements.element("Cap", "1/(j*w*c)", {"c": ("F", 1e-3, (0, INF))})
    capacitive = kl.fit("R0-Cap1", (F, noisy("R0-Cap1", [0.1, 1e-2])), check=False, noise_floor=0.3)
    with pytest.raises(ValueError, match="Cap1 is no sum of relaxations"):
        kl.drt_of(capacitive)


def test_the_command_line_defines_elements_inline_and_from_a_file(tmp_path):
    data = tmp_path / "spectrum.csv"
    z = noisy("R0-HN1", TRUTH)
    data.write_text(
        "Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm\n"
        + "".join(f"{f:.17g},{v.real:.17g},{v.imag:.17g}\n" for f, v in zip(F, z, strict=True))
    )
    table = tmp_path / "elements.toml"
    table.write_text(
        '[Hav]\nformula = "R / (1 + (j*w*tau)**alpha)**beta"\nR = ["ohm", 1.0, [0, "inf"]]\n'
        'tau = ["s", 1e-3, [0, "inf"]]\nalpha = ["", 0.9, [0, 1]]\nbeta = ["", 0.8, [0, 1]]\n'
    )
    runner = CliRunner()
    result = runner.invoke(
        main,
        [
            "--elements",
            str(table),
            "--element",
            "Ger=rg/sqrt(1+j*w*tg)",
            "fit",
            str(data),
            "--circuit",
            "R0-Hav1",
            "--no-progress",
        ],
    )
    assert result.exit_code == 0, result.output
    assert "Hav1.alpha" in result.output and "element       Hav:" in result.output
    bad = runner.invoke(main, ["--element", "Bad=R+*", "fit", str(data), "--circuit", "R0-Bad1"])
    assert bad.exit_code == 2 and "  R+*\n    ^" in bad.output
    unknown = runner.invoke(main, ["fit", str(data), "--circuit", "R0-Nope1"])
    assert unknown.exit_code == 2 and 'unknown element code "Nope"' in unknown.output
