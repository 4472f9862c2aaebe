"""Property tests: notation, weight files and hostile spectra never crash, hang or lie.

Arbitrary bytes through the parser and the weight-file reader are the fuzzers' job
(fuzz/); here, what Python text, files on disk and special values add."""

import math
import os
import resource
import struct

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from support.catalogue import PARAMETER_COUNTS
from support.eisnn_format import F16, F32, encode_eisnn, random_guesser

from kelvara import Circuit

# A hang shows up as a missed deadline; the budgets keep each example well inside it.
FAST = settings(max_examples=60, deadline=5000, suppress_health_check=[HealthCheck.too_slow])

REPORT_TAIL = "\n\nsyntax:\n"


# --- notation --------------------------------------------------------------------------------


def _tree(depth):
    """A grammar tree: ("e", code) leaves; ("s", items) series; ("p", branches, prefix)."""
    leaf = st.sampled_from(sorted(PARAMETER_COUNTS)).map(lambda code: ("e", code))
    if depth == 0:
        return leaf
    inner = _tree(depth - 1)
    series = st.lists(inner, min_size=1, max_size=3).map(lambda items: ("s", items))
    group = st.tuples(st.lists(series, min_size=1, max_size=3), st.sampled_from(["(", "p("]))
    return st.one_of(leaf, group.map(lambda g: ("p", *g)))


def _render(node, labels):
    """Notation text for the tree; labels are numbered in order so they never repeat."""
    kind = node[0]
    if kind == "e":
        labels.append(node[1])
        return f"{node[1]}{len(labels)}"
    if kind == "s":
        return "-".join(_render(item, labels) for item in node[1])
    return node[2] + ",".join(_render(branch, labels) for branch in node[1]) + ")"


@st.composite
def circuits(draw):
    """(notation, element codes in order) for a circuit drawn from the grammar."""
    items = draw(st.lists(_tree(3), min_size=1, max_size=4))
    labels = []
    return _render(("s", items), labels), labels


def _parses_or_reports(text):
    try:
        Circuit(text)
    except ValueError as error:
        assert REPORT_TAIL in str(error), str(error)


@FAST
@given(st.text(alphabet=st.sampled_from("RCLWpaeqs01239-(),µ ") | st.characters(), max_size=40))
@example("\x00R0")
@example("(" * 5000)  # deeper than the parser allows: an error, not a stack overflow
@example("p(" * 300 + "R0" + ")" * 300)
def test_random_text_parses_or_raises_the_report(text):
    _parses_or_reports(text)


FREQS = np.logspace(6, -3, 25)


@FAST
@given(circuits(), st.integers(0, 2**32 - 1))
def test_generated_circuits_parse_and_rebuild_bit_for_bit(circuit, seed):
    text, codes = circuit
    parsed = Circuit(text)
    assert len(parsed.param_names()) == sum(PARAMETER_COUNTS[code] for code in codes)
    # Values in (0, 1] suit every field, exponents included.
    values = 10.0 ** -np.random.default_rng(seed).uniform(0, 6, len(parsed.param_names()))
    built = parsed.with_values(values)
    again = built.with_values(built.param_values())
    assert again.param_values() == built.param_values()
    assert again.impedance(FREQS).tobytes() == built.impedance(FREQS).tobytes()


# --- weight files -----------------------------------------------------------------------------

GUESS_CIRCUIT = Circuit("R0-(R1,C1)")
GF = np.logspace(-1, 5, 30)
GZ = 10 + 100 / (1 + 1j * 2 * np.pi * GF * 1e-3)


def _valid_file(**settings_):
    names = GUESS_CIRCUIT.param_names()
    return random_guesser("R0-(R1,C1)", names, 8, encoding=F16, n_grid=16, **settings_)


VALID = encode_eisnn(*_valid_file(dilations=(1, 2)))


def _u32_offsets(data):
    """Offsets of every u32 count, length and dimension in a well-formed file."""
    offsets, pos = [], 8

    def u32():
        nonlocal pos
        offsets.append(pos)
        pos += 4
        return struct.unpack_from("<I", data, pos - 4)[0]

    def skip_string():
        nonlocal pos
        length = u32()
        pos += length

    for _ in range(u32()):
        skip_string()
        skip_string()
    for _ in range(u32()):
        skip_string()
        encoding, rank = data[pos], data[pos + 1]
        pos += 2
        n = math.prod(u32() for _ in range(rank)) or 1
        pos += (4 + n) if encoding == 2 else n * (4 if encoding == F32 else 2)
    return offsets


U32_OFFSETS = _u32_offsets(VALID)


def _peak_rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def _guess_with(tmp_path, content):
    """guess() on the file: None for a three-value result, else the weight-file error."""
    path = tmp_path / "w.eisnn"
    path.write_bytes(content)
    before = _peak_rss_mib()
    try:
        assert len(GUESS_CIRCUIT.guess(GF, GZ, weights=str(path))) == 3
        message = None
    except ValueError as error:
        message = str(error)
        assert message, "an empty message explains nothing"
    # No forged count or dimension may make the reader or the network allocate gigabytes.
    assert _peak_rss_mib() - before < 400
    return message


@FAST
@given(st.integers(0, len(VALID) - 1))
def test_truncated_files_are_reported(tmp_path_factory, cut):
    # Nothing follows the last tensor, so every proper prefix ends inside a record.
    message = _guess_with(tmp_path_factory.mktemp("w"), VALID[:cut])
    assert message == "weight file is truncated"


HUGE = [0, 1, 3, 0xFFFF, 0x10000, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF]


@FAST
@given(st.sampled_from(U32_OFFSETS), st.sampled_from(HUGE) | st.integers(0, 2**32 - 1))
def test_forged_counts_lengths_and_dimensions_are_reported(tmp_path_factory, at, value):
    data = bytearray(VALID)
    struct.pack_into("<I", data, at, value)
    _guess_with(tmp_path_factory.mktemp("w"), bytes(data))


BIG_SETTINGS = ["0", "1", "2", "64", "4096", "65536", "65537", "4294967296", "99999999999999999999"]


@FAST
@given(
    st.sampled_from(["n_grid", "channels", "kernel", "groups", "dilations"]),
    st.sampled_from(BIG_SETTINGS),
)
def test_huge_settings_in_valid_files_are_refused_or_cheap(tmp_path_factory, key, value):
    metadata, tensors = _valid_file(dilations=(1,))
    metadata[key] = value
    _guess_with(tmp_path_factory.mktemp("w"), encode_eisnn(metadata, tensors))


# Forged widths backed by real data: each once allocated gigabytes before failing.
WIDE = {
    # 65536 x 4096 doubles per activation.
    "grid_times_channels": (
        {"n_grid": "65536", "channels": "4096", "groups": "1"}, (4096, 3, 5),
        'weight file has an unparsable value for "channels"',
    ),
    # A zero kernel needs no weights, so only the bias backs the stem's width.
    "zero_kernel_stem": (
        {"n_grid": "65536", "kernel": "0"}, (100_000, 3, 0),
        'tensor "w.stem.weight" has 100000 elements, expected 8',
    ),
}  # fmt: skip


@pytest.mark.parametrize("changes, stem, message", WIDE.values(), ids=WIDE.keys())
def test_forged_widths_are_refused_before_allocating(tmp_path, changes, stem, message):
    metadata, tensors = _valid_file(dilations=(1,))
    metadata.update(changes)
    tensors["w.stem.weight"] = (np.zeros(stem), 2)
    tensors["w.stem.bias"] = (np.zeros(stem[0]), 2)
    assert _guess_with(tmp_path, encode_eisnn(metadata, tensors)) == message


# --- hostile spectra --------------------------------------------------------------------------

SPECIAL = [
    math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 5e-324, -5e-324, 2.2e-308, 1e300, -1e300,
]  # fmt: skip
ORDINARY = st.floats(1e-3, 1e6)
VALUE = st.sampled_from(SPECIAL) | ORDINARY

RC = Circuit("R0-(R1,C1)")
RC_START = RC.with_values([10.0, 50.0, 2e-5])
CLEAN_F = np.logspace(4, -1, 8)
CLEAN_Z = RC_START.impedance(CLEAN_F)

# Small budgets: these check robustness, not convergence.
METHODS = {
    "levenberg_marquardt": {"max_iterations": 20},
    "particle_swarm": {"num_particles": 8, "generations": 5, "seed": 1},
    "nelder_mead": {"nelder_mead_iterations": 30},
    "differential_evolution": {"de_evaluations": 120},
    "simulated_annealing": {"sa_iterations": 40, "seed": 1},
    "basin_hopping": {"basin_hopping_hops": 2, "seed": 1},
}


@st.composite
def hostile_spectra(draw):
    """A clean spectrum with some frequencies and impedance parts replaced by special values."""
    f, z = CLEAN_F.copy(), CLEAN_Z.copy()
    for _ in range(draw(st.integers(1, 4))):
        i = draw(st.integers(0, len(f) - 1))
        target = draw(st.sampled_from(["f", "re", "im"]))
        value = draw(VALUE)
        if target == "f":
            f[i] = value
        else:
            z[i] = complex(value, z[i].imag) if target == "re" else complex(z[i].real, value)
    return f, z


def _result_or_value_error(call):
    try:
        return call()
    except ValueError as error:
        assert str(error)
        return None


@pytest.fixture(scope="module")
def rc_weights(tmp_path_factory):
    path = tmp_path_factory.mktemp("weights") / "rc.eisnn"
    path.write_bytes(VALID)
    return str(path)


def test_the_unmodified_file_guesses(rc_weights):
    assert np.all(np.isfinite(GUESS_CIRCUIT.guess(GF, GZ, weights=rc_weights)))


@FAST
@given(hostile_spectra(), st.lists(VALUE, min_size=3, max_size=3))
def test_evaluation_and_guess_survive_special_values(rc_weights, spectrum, params):
    f, z = spectrum
    _result_or_value_error(lambda: RC_START.impedance(f))
    for method in (RC.residuals, RC.jacobian):
        for weight in ("modulus", "unit"):
            _result_or_value_error(lambda m=method, w=weight: m(params, f, z, weight=w))
    result = _result_or_value_error(lambda: RC.guess(f, z, weights=rc_weights))
    assert result is None or len(result) == 3


@pytest.mark.parametrize("method", METHODS)
@settings(FAST, max_examples=25)
@given(spectrum=hostile_spectra(), weight=st.sampled_from(["modulus", "unit"]))
def test_fit_survives_special_values(method, spectrum, weight):
    result = _result_or_value_error(
        lambda: RC_START.fit(*spectrum, weight=weight, method=method, **METHODS[method])
    )
    if result is not None and result.success:
        assert math.isfinite(result.cost) and math.isfinite(result.chi_square), result


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("start", [[math.nan, 50, 2e-5], [1e300, 50, 2e-5], [10, 50, 5e-324]])
def test_fit_from_a_hostile_start_never_claims_success_with_a_non_finite_cost(method, start):
    result = _result_or_value_error(
        lambda: RC.with_values(start).fit(CLEAN_F, CLEAN_Z, method=method, **METHODS[method])
    )
    if result is not None and result.success:
        assert math.isfinite(result.cost) and math.isfinite(result.chi_square), result


# A population no machine can hold: the internal-failure exception once escaped for the first.
UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.parametrize(
    "particles",
    [
        pytest.param(2**64 - 1, id="past_max_size"),
        # AddressSanitizer aborts on an allocation this size instead of failing it.
        pytest.param(2**40, id="past_memory", marks=pytest.mark.skipif(UNDER_ASAN, reason="asan")),
    ],
)
def test_impossible_swarm_is_a_memory_error(particles):
    with pytest.raises(MemoryError):
        RC_START.fit(
            CLEAN_F, CLEAN_Z, method="particle_swarm", num_particles=particles, generations=1
        )
