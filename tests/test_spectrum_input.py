"""Measured spectra: two parallel sequences or one battery-data-format frame."""

import math

import numpy as np
import pandas as pd
import polars as pl
import pytest

from kelvara import Circuit

NAN = math.nan
F, RE, IM = "Frequency / Hz", "Real Impedance / ohm", "Imaginary Impedance / ohm"
AB, PH = "Absolute Impedance / ohm", "Phase / deg"
F_, RE_, IM_ = "frequency_hertz", "real_impedance_ohm", "imaginary_impedance_ohm"
AB_, PH_ = "absolute_impedance_ohm", "phase_degree"

# R0 = 0 evaluates to 0 at every frequency (zero, negative and NaN included), so
# unit-weighted residuals are exactly -Z; L0 = 1/2pi adds j*f on top of that.
_ZERO, _PROBE = Circuit("R0"), Circuit("L0")


def read(frequencies, impedances=None):
    """The (frequencies, impedances) the module read, recovered from its residuals."""
    zero = np.array(_ZERO.residuals([0.0], frequencies, impedances, weight="unit"))
    probe = np.array(_PROBE.residuals([1 / (2 * math.pi)], frequencies, impedances, weight="unit"))
    return probe[1::2] - zero[1::2], -(zero[0::2] + 1j * zero[1::2])


def assert_read(spectrum, frequencies, impedances):
    got_f, got_z = read(*spectrum)
    np.testing.assert_allclose(got_f, frequencies, rtol=1e-12, atol=1e-15)
    np.testing.assert_allclose(got_z, impedances, rtol=1e-14, atol=1e-15)


class AsComplex:
    def __complex__(self):
        return 3 - 4j


# fmt: off
SEQUENCES = {
    "complex": ([1, 10], [5 - 1j, 4 - 2j], [5 - 1j, 4 - 2j]),
    "floats": ([1.0, 10.0], [5.5, 4.25], [5.5, 4.25]),
    "ints": ([1, 10], [5, -4], [5, -4]),
    "mixed-tuple": ((1, 10), (2, AsComplex()), [2, 3 - 4j]),
    "numpy-complex": (np.array([1.0, 10.0]), np.array([5 - 1j, 4 - 2j]), [5 - 1j, 4 - 2j]),
    "numpy-int": (np.arange(1, 3), np.array([7, 8], dtype=np.int32), [7, 8]),
    "numpy-scalars": ([np.float32(1), np.int64(10)], [np.complex64(1j), np.float64(2)], [1j, 2]),
    "empty": ([], [], []),
    # Only dataframe rows are filtered; two sequences keep every frequency.
    "non-positive-and-nan": ([0.0, -5.0, NAN, 2.0], [1, 2, 3, 4], [1, 2, 3, 4]),
}
# fmt: on


@pytest.mark.parametrize("f, z, expected", SEQUENCES.values(), ids=list(SEQUENCES))
def test_two_sequences_accept_any_numbers(f, z, expected):
    assert_read((f, z), np.asarray(f, dtype=float), expected)


@pytest.mark.parametrize("f, z", [([1, 2], [1]), ([1], [1, 2]), ([], [1])])
def test_two_sequences_must_have_the_same_length(f, z):
    with pytest.raises(ValueError, match="^frequencies and impedances must have the same length$"):
        read(f, z)


@pytest.mark.parametrize(
    "f, z, message",
    [
        ([1, 2], "12", "^Can't extract `str` to `Vec`$"),
        ([1], 5, "Sequence"),
        ([1, 2], [1, "2"], None),
        ("12", [1, 2], None),
        ([1, None], [1, 2], None),
    ],
    ids=["str-impedances", "scalar-impedances", "str-item", "str-frequencies", "none-frequency"],
)
def test_two_sequences_reject_non_numbers_without_argument_prefix(f, z, message):
    with pytest.raises(TypeError, match=message) as caught:
        read(f, z)
    assert not str(caught.value).startswith("argument")


FRAMES = {"dict": dict, "pandas": pd.DataFrame, "polars": pl.DataFrame}


@pytest.fixture(params=list(FRAMES))
def frame(request):
    return FRAMES[request.param]


# fmt: off
FRAME_READS = {
    "short-names": ({F_: [1, 10], RE_: [5, 4], IM_: [-1, -2]}, [1.0, 10.0], [5 - 1j, 4 - 2j]),
    "long-names-win": ({F: [1.0], F_: [2.0], RE: [3.0], RE_: [4.0], IM: [-5.0], IM_: [6.0],
                        AB_: [9.0], PH: [9.0]}, [1.0], [3 - 5j]),
    "rect-over-polar": ({F: [1.0], RE: [3.0], IM: [4.0], AB: [1.0], PH: [0.0]}, [1.0], [3 + 4j]),
    # Half a rectangular pair does not count; the polar pair is used instead.
    "half-pair-ignored": ({F: [1.0], RE: [3.0], AB_: [2.0], PH_: [0.0]}, [1.0], [2.0]),
    "rows-dropped": ({F: [0.0, 1, -5, 2, NAN], RE: [1.0, 2, 3, 4, 5], IM: [-1.0, -2, -3, -4, -5]},
                     [1.0, 2.0], [2 - 2j, 4 - 4j]),
}
# fmt: on


@pytest.mark.parametrize("columns, f, z", FRAME_READS.values(), ids=list(FRAME_READS))
def test_frame_columns(frame, columns, f, z):
    assert_read((frame(columns),), f, z)


def test_frame_converts_modulus_and_phase(frame):
    phases = [90.0, -45.0, 0.0, 180.0]
    _, z = read(frame({F: [1.0] * 4, AB: [2.0] * 4, PH_: phases}))
    radians = np.array(phases) * 0.017453292519943295
    np.testing.assert_allclose(z, 2 * np.cos(radians) + 2j * np.sin(radians), rtol=1e-15)
    assert 0 < z[0].real < 2e-16 and z[0].imag == 2.0
    assert z[1].imag < 0 and z[1].real == pytest.approx(math.sqrt(2), rel=1e-15)


@pytest.mark.parametrize("column", [PH, PH_])
def test_frame_reports_a_non_numeric_phase_even_when_unused(frame, column):
    data = frame({F: [1.0], RE: [1.0], IM: [1.0], AB: [1.0], column: ["east"]})
    with pytest.raises(ValueError, match=f'^column "{column}" is not numeric$'):
        read(data)


def _pair(long, short):
    return f'"{long}" or "{short}"'


RECT, POLAR = f"{_pair(RE, RE_)} and {_pair(IM, IM_)}", f"{_pair(AB, AB_)} and {_pair(PH, PH_)}"
NO_POINTS = f"no measured points: every row of the {_pair(F, F_)} column is zero or negative"
NO_PAIR = (
    f"no impedance columns: expected {_pair(RE, RE_)} together with {_pair(IM, IM_)}, "
    f"or {_pair(AB, AB_)} together with {_pair(PH, PH_)}"
)
NO_FREQUENCY = (
    f"expected a dataframe with a {_pair(F, F_)} column, "
    "or frequencies and impedances as two arguments"
)
# fmt: off
FRAME_ERRORS = {
    "empty": ({}, NO_FREQUENCY),
    "list": ([1.0, 2.0], NO_FREQUENCY),
    "no-impedance": ({F_: [1.0]}, NO_PAIR),
    "real-only": ({F: [1.0], RE: [1.0], PH: [0.0]}, NO_PAIR),
    "text-frequency": ({F_: ["1"], RE: [1], IM: [1]}, f'column "{F_}" is not numeric'),
    "str-frequency": ({F: "12", RE: [1, 2], IM: [1, 2]}, f'column "{F}" is not numeric'),
    "first-bad-wins": ({F: [1], RE: [1], IM_: ["x"], PH: ["y"]}, f'column "{IM_}" is not numeric'),
    "rect-lengths": ({F: [1, 2], RE: [1, 2], IM_: [1]},
                     "real and imaginary impedance columns must have the same length"),
    "polar-lengths": ({F: [1, 2], AB: [1], PH: [0, 0]},
                      "absolute impedance and phase columns must have the same length"),
    "rows-vs-rect": ({F: [1, 2, 3], RE: [1, 2], IM: [1, 2]},
                     f"frequency column has 3 rows but {RECT} have 2"),
    "rows-vs-polar": ({F_: [1], AB_: [1, 2], PH_: [0, 0]},
                      f"frequency column has 1 rows but {POLAR} have 2"),
    "no-positive": ({F: [0, -1], RE: [1, 2], IM: [1, 2]}, NO_POINTS),
    "only-nan": ({F: [NAN], RE: [1], IM: [1]}, NO_POINTS),
}
# fmt: on


@pytest.mark.parametrize("data, message", FRAME_ERRORS.values(), ids=list(FRAME_ERRORS))
def test_frame_errors(data, message):
    with pytest.raises(ValueError) as caught:
        read(data)
    assert str(caught.value) == message


class Picky:
    """Answers short names only; the long-name lookups fail with arbitrary errors."""

    def __init__(self, columns, error):
        self.columns, self.error = columns, error

    def __getitem__(self, name):
        if name in self.columns:
            return self.columns[name]
        raise self.error


@pytest.mark.parametrize("error", [KeyError("x"), RuntimeError("boom"), ZeroDivisionError()])
def test_lookup_errors_only_mean_the_column_is_absent(error):
    assert_read((Picky({F_: [2.0], RE_: [1.0], IM_: [3.0]}, error),), [2.0], [1 + 3j])
    with pytest.raises(ValueError) as caught:
        read(Picky({}, error))
    assert str(caught.value) == NO_FREQUENCY


_FREQS = np.array([1.0, 10.0, 100.0])
_MASKED = np.ma.masked_array(_FREQS, mask=[False, True, False])
AMBIGUOUS = {
    "bytes": (b"\x01\x02\x03", "raw bytes are not read as numbers"),
    "bytearray": (bytearray(b"\x01\x02\x03"), "raw bytes are not read as numbers"),
    "memoryview": (memoryview(b"\x01\x02\x03"), "raw bytes are not read as numbers"),
    "masked": (_MASKED, "^masked arrays are not accepted: fill them first"),
}


@pytest.mark.parametrize("value, message", AMBIGUOUS.values(), ids=list(AMBIGUOUS))
def test_bytes_and_masked_arrays_are_not_read_as_numbers(value, message):
    with pytest.raises(TypeError, match=message):
        read(value, [1, 2, 3])
    with pytest.raises(TypeError, match=message):
        read(_FREQS, value)
    with pytest.raises(TypeError, match=message):
        _PROBE.impedance(value)
    with pytest.raises(TypeError, match=message):
        read({F: value, RE: [1, 2, 3], IM: [0, 0, 0]})


@pytest.mark.parametrize(
    "columns",
    [
        pd.MultiIndex.from_tuples([(F, 1), (RE, 1), (IM, 2)]),
        [F, F, RE, IM],
    ],
    ids=["multiindex", "repeated-name"],
)
def test_a_frame_column_that_is_a_table_is_refused(columns):
    data = np.array([[1.0, 2.0, 3.0, 4.0], [5.0, 6.0, 7.0, 8.0]])[:, : len(columns)]
    with pytest.raises(ValueError, match=f'^column "{F}" is not one column but 2-dimensional'):
        read(pd.DataFrame(data, columns=columns))


class _Raises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class _BadLength(list):
    def __init__(self, items, error):
        super().__init__(items)
        self.error = error

    def __len__(self):
        raise self.error


INTERRUPTED = {
    "item": lambda e: read([1.0, _Raises(e())], [1, 2]),
    "impedance-item": lambda e: _PROBE.impedance([1.0, _Raises(e())]),
    "length": lambda e: read(_BadLength([1.0], e()), [1]),
    "impedance-length": lambda e: _PROBE.impedance(_BadLength([1.0], e())),
    "frame-lookup": lambda e: read(Picky({}, e())),
    "frame-column-item": lambda e: read({F: [1.0, _Raises(e())], RE: [1, 2], IM: [1, 2]}),
}


@pytest.mark.parametrize("error", [KeyboardInterrupt, MemoryError])
@pytest.mark.parametrize("call", INTERRUPTED.values(), ids=list(INTERRUPTED))
def test_interrupts_and_memory_errors_while_converting_stay_themselves(call, error):
    with pytest.raises(error):
        call(error)
