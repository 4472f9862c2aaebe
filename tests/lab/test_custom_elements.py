"""Custom elements: definitions checked and compiled natively, evaluated like the built-ins,
exact derivatives, and hostile formulas refused with a caret without running anything."""

import pickle
from pathlib import Path

import numpy as np
import pytest
from hn_element import INF, define_hn, forget_all

import kelvara
from kelvara_lab import _engine
from kelvara_lab.circuit import elements
from kelvara_lab.circuit.model import EngineCircuit, model_of


@pytest.fixture(autouse=True)
def hn():
    yield define_hn()
    forget_all()


def test_a_definition_reads_back_and_survives_pickle_and_plain_data(hn):
    assert elements.elements() == (hn,)
    assert pickle.loads(pickle.dumps(hn)) == hn
    assert elements.CustomElement.from_dict(hn.to_dict()) == hn
    assert [p.log for p in hn.parameters] == [True, True, False, False]
    assert "<code>R / (1 + (j*w*tau)**alpha)**beta</code>" in hn._repr_html_()


@pytest.mark.parametrize(
    ("code", "formula", "parameters", "message"),
    [
        ("CPE", "R", {"R": ("ohm", 1, (0, INF))}, "built-in element's"),
        ("H2", "R", {"R": ("ohm", 1, (0, INF))}, "ASCII letters only"),
        ("X", "R", {"R": ("ohm", 1, (0, INF)), "t": ("s", 1, (0, INF))}, '"t" does not appear'),
        ("X", "R", {"R": ("ohm", 1, (0, INF), False)}, "open upper bound"),
        ("X", "R", {"R": ("ohm", 5, (0, 1))}, "outside its bounds"),
        ("X", "R", {"j": ("ohm", 1, (0, INF))}, "reserved"),
        ("X", "R +", {"R": ("ohm", 1, (0, INF))}, "\n  R +\n     ^"),
        ("X", "R*x", {"R": ("ohm", 1, (0, INF))}, 'unknown name "x" at position 2'),
    ],
)
def test_unusable_definitions_are_value_errors_naming_the_fault(code, formula, parameters, message):
    with pytest.raises(ValueError, match=None) as caught:
        elements.element(code, formula, parameters)
    assert message in str(caught.value)
    assert "X" not in {e.code for e in elements.elements()}


@pytest.mark.parametrize(
    ("parameters", "error"),
    [
        ({"R": "ohm"}, TypeError),
        ({"R": ("ohm", "one", (0, 1))}, TypeError),
        ({"R": {"unit": "ohm", "default": 1, "bounds": (0, 1), "colour": 2}}, ValueError),
        ({"R": ("ohm", 1, (0, INF), "yes")}, TypeError),
    ],
)
def test_malformed_parameter_specs_are_refused_before_the_engine(parameters, error):
    with pytest.raises(error):
        elements.element("X", "R", parameters)


def test_hostile_formulas_are_errors_and_run_nothing(tmp_path):
    marker = tmp_path / "ran"
    for text in [
        f"__import__('os').system('touch {marker}')",
        f"open('{marker}', 'w')",
        "R.__class__",
        "lambda: R",
        "R; R",
        "(" * 100 + "R" + ")" * 100,
        "R" + "**R" * 300,
        "R\x00",
        "R" * 5000,
        "\ud800",
    ]:
        with pytest.raises(ValueError, match="formula"):
            elements.element("X", text, {"R": ("ohm", 1, (0, INF))})
    assert not marker.exists()


def test_the_element_equals_the_formula_and_circuits_route_to_the_engine(hn):
    f = np.logspace(5, -2, 50)
    w = 2 * np.pi * f
    want = 2.0 / (1 + (1j * w * 1e-3) ** 0.85) ** 0.7
    got = hn.impedance(f, R=2.0, tau=1e-3, alpha=0.85)
    np.testing.assert_allclose(got, 2.0 / (1 + (1j * w * 1e-3) ** 0.85) ** 0.8, rtol=1e-13)
    model = model_of("R0-HN1")
    assert isinstance(model, EngineCircuit)
    assert model.param_names() == ["R0.r", "HN1.R", "HN1.tau", "HN1.alpha", "HN1.beta"]
    np.testing.assert_allclose(
        model.with_values([0.1, 2.0, 1e-3, 0.85, 0.7]).impedance(f), 0.1 + want, rtol=1e-13
    )
    assert isinstance(model_of("R0-(R1,CPE1)"), kelvara.Circuit)
    with pytest.raises(ValueError, match="your own elements:\n  HN    R \\[ohm\\]"):
        model_of("R0-XY1")
    with pytest.raises(ValueError, match='unknown element code "HN"'):
        kelvara.Circuit("R0-HN1")  # kelvara's own notation is unchanged


def test_exact_derivatives_match_central_differences():
    f = np.array([0.01, 3.0, 500.0])
    values = [0.1, 2.0, 1e-3, 0.85, 0.7]
    dz = _engine.derivatives("R0-HN1", values, f).reshape(len(f), len(values))
    for i, v in enumerate(values):
        h = 1e-6 * v
        up, down = list(values), list(values)
        up[i] += h
        down[i] -= h
        fd = (_engine.impedance("R0-HN1", up, f) - _engine.impedance("R0-HN1", down, f)) / (2 * h)
        np.testing.assert_allclose(dz[:, i], fd, rtol=1e-6, atol=1e-9)


def test_a_redefinition_applies_to_later_circuits_and_ensure_restores_a_definition(hn):
    data = elements.used_by("R0-HN1")
    elements.element("HN", "2*R", {"R": ("ohm", 1.0, (0, INF))})
    assert EngineCircuit("HN1").param_names() == ["HN1.R"]
    elements.ensure(data)
    assert elements.elements() == (hn,)


def test_undefined_points_are_non_finite_not_errors():
    elements.element("Sing", "R / (w - 2*pi)", {"R": ("ohm", 1.0, (0, INF))})
    z = EngineCircuit("Sing1").impedance([1.0, 2.0])
    assert not np.isfinite(z[0]) and np.isfinite(z[1])


def test_the_readme_example_is_what_the_module_documents():
    readme = (Path(__file__).resolve().parents[2] / "README.md").read_text(encoding="utf-8")
    assert 'kl.element("HN", "R / (1 + (j*w*tau)**alpha)**beta"' in readme
