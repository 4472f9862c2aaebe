"""The module object: its names, documentation and re-import behaviour."""

import importlib
import inspect
import os
import sys
import types

import pytest

import kelvara

PUBLIC = [
    "Element", "Circuit", "FitResult", "Series", "Parallel",
    "R", "C", "L", "La", "Cpe", "W", "Wo", "Ws", "G", "Gs", "K", "Zarc", "Tlmq", "T",
]  # fmt: skip


def test_namespace_holds_exactly_the_public_names_in_registration_order():
    names = [n for n in vars(kelvara) if not (n.startswith("__") and n.endswith("__"))]
    assert names == PUBLIC


def test_module_docstring_is_empty_and_there_is_no_all():
    assert kelvara.__doc__ == ""
    assert not hasattr(kelvara, "__all__")


@pytest.mark.parametrize(
    "name, doc",
    [
        ("Series", "Connect elements and circuits end to end."),
        ("Parallel", "Connect elements and circuits as parallel branches."),
    ],
)
def test_combinators_are_documented_builtins(name, doc):
    function = getattr(kelvara, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__text_signature__ == "(parts)"
    assert str(inspect.signature(function)) == "(parts)"
    assert function.__doc__ == doc


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
