"""The module object: its names, documentation and re-import behaviour."""

import importlib
import inspect
import os
import sys

import pytest

import kelvara

PUBLIC = [
    "Element", "Circuit", "FitResult", "Series", "Parallel",
    "R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T",
]  # fmt: skip


def test_namespace_holds_exactly_the_public_names_in_registration_order():
    names = [n for n in vars(kelvara) if not (n.startswith("__") and n.endswith("__"))]
    assert names == PUBLIC


# What help() shows users: each callable's signature and the start of its summary
# (None: no text signature, or no docstring).
# fmt: off
# Circuit.fit's options come from the one option table (test_stubs.py checks them there).
FIT = "(frequencies, impedances=None, guess_init=None, weights=None, "
RESIDUALS = "(params, frequencies, impedances=None, weight='modulus')"
SURFACE = {
    "Series": ("(parts)", "Connect elements and circuits end to end."),
    "Parallel": ("(parts)", "Connect elements and circuits as parallel branches."),
    "Element": (None, "A single circuit element."),
    "FitResult": (None, None),
    "Circuit": ("(s)", None),
    "Circuit.fit": (None, "Fit this circuit's parameters to a measured spectrum."),
    "Circuit.guess": ("(frequencies, impedances=None, weights=None)", "Machine-learning guess"),
    "Circuit.residuals": (RESIDUALS, "Weighted residual vector (interleaved"),
    "Circuit.jacobian": (RESIDUALS, "Central-difference Jacobian of `residuals()`"),
    "Circuit.impedance": ("(frequencies)", None),
    "Circuit.ml_circuits": ("()", "Names accepted by the constructor that have trained"),
    "Circuit.param_names": ("()", "Parameter names, in the same order `with_values()`"),
    "Circuit.param_values": ("()", "Current parameter values, in `param_names()` order."),
    "Circuit.param_bounds": ("()", "Default physical-validity `(lo, hi)` bounds per parameter, in"),
    "Circuit.param_units": ("()", "Physical units per parameter"),
    "Circuit.with_values": ("(values)", "Rebuild this circuit with a new flat parameter vector"),
    "Circuit.with_named_values": ("(values)", "Rebuild this circuit with parameter values looked"),
}
# fmt: on


@pytest.mark.parametrize("path", list(SURFACE))
def test_surface_signature_and_summary(path):
    signature, summary = SURFACE[path]
    owner, _, attr = path.rpartition(".")
    obj = getattr(kelvara.Circuit("R0") if owner else kelvara, attr)  # methods bound
    if path == "Circuit.fit":
        assert str(inspect.signature(obj)).startswith(FIT)
    elif signature is None:
        with pytest.raises(ValueError):
            inspect.signature(obj)
    else:
        assert str(inspect.signature(obj)) == signature
    assert (obj.__doc__ or "").startswith(summary) if summary else not obj.__doc__


def test_module_has_no_docstring_and_no_all():
    assert kelvara.__doc__ == ""
    assert not hasattr(kelvara, "__all__")


def test_reimport_reuses_the_classes(monkeypatch):
    # monkeypatch puts the original module back into sys.modules afterwards.
    monkeypatch.delitem(sys.modules, "kelvara")
    again = importlib.import_module("kelvara")
    assert again.Circuit is kelvara.Circuit
    assert again.Element is kelvara.Element
    assert again.Cpe is kelvara.Cpe
    assert again.Circuit("R0").param_names() == ["R0.r"]


def test_a_second_interpreter_cannot_import_it(tmp_path):
    # Classes are process-wide and bound to the first interpreter.
    _testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "result.txt"
    code = (
        "import sys\n"
        f"sys.path.insert(0, {os.path.dirname(kelvara.__file__)!r})\n"
        "try:\n"
        "    import kelvara\n"
        "    result = 'imported'\n"
        "except ImportError as e:\n"
        "    result = 'ImportError: ' + str(e)\n"
        f"open({str(out)!r}, 'w').write(result)\n"
    )
    assert _testcapi.run_in_subinterp(code) == 0
    assert out.read_text().startswith("ImportError: kelvara does not support sub-interpreters")
