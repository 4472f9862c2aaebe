"""Element classes: construction, evaluation, read-only fields, pattern matching and repr."""

import inspect

import numpy as np
import pytest
from support.catalogue import KINDS

import kelvara

# Class name -> fields, in the order constructors, __match_args__ and repr use.
FIELDS = {kind.class_name: tuple(name for name, _, _ in kind.fields) for kind in KINDS}


@pytest.mark.parametrize("kind", list(FIELDS))
def test_class_is_exposed_with_its_fields_in_order(kind):
    cls, fields = getattr(kelvara, kind), FIELDS[kind]
    assert cls is getattr(kelvara.Element, kind)
    assert (cls.__name__, cls.__module__) == (f"Element_{kind}", "kelvara")
    assert issubclass(cls, kelvara.Element) and cls is not kelvara.Element
    signature = f"({', '.join(fields)})"
    assert cls.__text_signature__ == str(inspect.signature(cls)) == signature
    assert cls.__match_args__ == fields


@pytest.mark.parametrize("kind", list(FIELDS))
def test_fields_round_trip_and_are_read_only(kind):
    cls, fields = getattr(kelvara, kind), FIELDS[kind]
    values = [0.5 * (i + 1) for i in range(len(fields))]
    # Keywords deliberately given in reverse order.
    by_keyword = cls(**dict(zip(reversed(fields), reversed(values), strict=True)))
    for element in (cls(*values), by_keyword):
        got = [getattr(element, name) for name in fields]
        assert got == values and all(type(v) is float for v in got)
    shown = ", ".join(f"{name}={v!r}" for name, v in zip(fields, values, strict=True))
    assert repr(by_keyword) == f"Element.{kind}({shown})"
    with pytest.raises(AttributeError):
        setattr(by_keyword, fields[0], 2.0)
    with pytest.raises(AttributeError):
        delattr(by_keyword, fields[-1])
    # Every field is required: the parser's defaults do not apply here.
    with pytest.raises(TypeError, match=f"'{fields[-1]}'"):
        cls(*values[:-1])
    # Distinct values catch fields handed to the evaluator in the wrong order.
    frequencies = [0.01, 1.0, 100.0, 1e4]
    expected = kelvara.Circuit(f"{kind}1").with_values(values).impedance(frequencies)
    assert np.array_equal(kelvara.Series([by_keyword]).impedance(frequencies), expected)


# fmt: off
BAD_CALLS = {
    "unknown-keyword": (lambda: kelvara.R(r=1.0, x=2.0), None),
    "extra-positional": (lambda: kelvara.R(1.0, 2.0), None),
    "positional-and-keyword": (lambda: kelvara.R(1.0, r=1.0), None),
    "text": (lambda: kelvara.R(r="1.0"), "^argument 'r': "),
    "none": (lambda: kelvara.R(r=None), "^argument 'r': "),
    "list": (lambda: kelvara.R(r=[1.0]), "^argument 'r': "),
    "complex": (lambda: kelvara.Cpe(q=1e-3, alpha=1j), "^argument 'alpha': "),
}
# fmt: on


@pytest.mark.parametrize("call, match", BAD_CALLS.values(), ids=list(BAD_CALLS))
def test_malformed_call_is_a_type_error(call, match):
    # Non-numeric values name the argument they were given for.
    with pytest.raises(TypeError, match=match):
        call()


def test_base_class_has_no_constructor_and_only_kind_names():
    for args in [(), (1.0,)]:
        with pytest.raises(TypeError, match="^No constructor defined for Element$"):
            kelvara.Element(*args)
    # The module's own namespace is pinned in test_module.
    assert not hasattr(kelvara.Element, "CPE") and not hasattr(kelvara.Element, "TLMQ")


def test_structural_match_binds_fields_in_order():
    match kelvara.Zarc(1.0, 0.001, 0.8):
        case kelvara.K():
            pytest.fail("a Zarc must not match the K class pattern")
        case kelvara.Zarc(r, tau_k, gamma):
            assert (r, tau_k, gamma) == (1.0, 0.001, 0.8)
        case _:
            pytest.fail("no pattern matched")
