"""Circuit.guess with a weight file from disk: against the NumPy reference network, whatever
the labels and order of the user's circuit, and with files that change or are shared."""

import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from support.catalogue import REGISTRY
from support.eisnn_format import (
    ENCODINGS,
    MAGIC,
    decode_eisnn,
    encode_eisnn,
    random_guesser,
    write_eisnn,
)
from support.reference_network import Guesser, to_user_order

from kelvara import Circuit

RTOL = 1e-12
F = np.logspace(-1, 5, 60)
W = 2 * np.pi * F


def _rc(w):
    return 10 + 100 / (1 + 1j * w * 100 * 1e-5)


def _rq(w):
    return 5 + 50 / (1 + 50 * 1e-4 * (1j * w) ** 0.8)


def _shuffled_with_duplicate():
    rng = np.random.default_rng(7)
    f = np.append(F, F[20])  # same frequency twice, different reading
    z = np.append(_rc(W), _rc(W[20]) * 1.05)
    order = rng.permutation(f.size)
    return f[order], z[order]


# (frequencies, impedances) covering the paths of the feature extraction.
SPECTRA = {
    "rc_ascending": (F, _rc(W)),
    "rq_descending": (F[::-1], _rq(W[::-1])),
    "shuffled_with_duplicate": _shuffled_with_duplicate(),
    # No capacitive point: the scale estimate falls back to median |Z| and mean log f.
    "resistive_inductive": (F, 2 + 1j * W * 1e-4),
    # Re < 0 while Im changes sign: the raw phase jumps across +-180 degrees.
    "phase_wraps": (F, -1 + 0.5j * np.log10(W / 100)),
    "two_points": (np.array([3.0, 3e3]), np.array([50 - 20j, 12 - 1j])),
}

CIRCUITS = {
    "rc_16": ("R0-(R1,C1)", 16),
    "rq_32": ("R0-(R1,CPE1)", 32),
    "l_w_wo_64": ("L0-R0-(R1-W1,CPE1)-(R2-Wo2,CPE2)", 64),
}


@pytest.fixture(scope="module")
def weight_file(tmp_path_factory):
    """Writes a random-weight file once per circuit and encoding; returns its path."""
    made = {}

    def make(circuit, channels, encoding):
        key = (circuit, channels, encoding)
        if key not in made:
            names = Circuit(circuit).param_names()
            metadata, tensors = random_guesser(circuit, names, channels, encoding=encoding)
            path = tmp_path_factory.mktemp("weights") / "model.eisnn"
            write_eisnn(path, metadata, tensors)
            made[key] = path
        return made[key]

    return make


@pytest.mark.parametrize("encoding", ENCODINGS, ids=["f32", "f16", "q8"])
@pytest.mark.parametrize("circuit", CIRCUITS.values(), ids=CIRCUITS.keys())
@pytest.mark.parametrize("spectrum", SPECTRA.values(), ids=SPECTRA.keys())
def test_guess_matches_reference(weight_file, circuit, encoding, spectrum):
    notation, channels = circuit
    path = weight_file(notation, channels, encoding)
    f, z = spectrum
    expected = Guesser.from_file(path).predict(f, z)
    actual = Circuit(notation).guess(f, z, weights=str(path))
    assert type(actual) is list and len(actual) == len(expected)
    assert np.all(np.isfinite(expected))
    np.testing.assert_allclose(actual, expected, rtol=RTOL, atol=0)


GOLDEN = Path(__file__).resolve().parent / "data" / "eisnn"  # written by write_golden.py there


@pytest.mark.parametrize("encoding, name", [(0, "binary32"), (1, "binary16"), (2, "int8")])
def test_golden_files_read_as_the_reference_reads_them(encoding, name):
    path = GOLDEN / f"rc_{name}.eisnn"
    data = path.read_bytes()
    metadata, tensors = decode_eisnn(data)
    assert {t.encoding for n, t in tensors.items() if n.startswith("w.")} == {encoding}
    # The writer gives back the very bytes it read.
    again = {n: (t.data.reshape(t.shape), t.encoding) for n, t in tensors.items()}
    assert encode_eisnn(metadata, again) == data
    reference = Guesser.from_file(path)
    for f, z in SPECTRA.values():
        actual = Circuit("R0-(R1,C1)").guess(f, z, weights=str(path))
        np.testing.assert_allclose(actual, reference.predict(f, z), rtol=RTOL, atol=0)


def _with(index, value):
    f = F.copy()
    f[index] = value
    return f


# Frequencies without an order: each once sent the grid interpolation past the end of its
# table (found by the AddressSanitizer build), and turned every output into NaN. Such a
# point never reaches the network now: the guess names it.
UNORDERED = {
    "nan_last": (_with(-1, np.nan), 59, "NaN"),
    "negative_nan": (_with(4, -np.nan), 4, "NaN"),
    "negative": (_with(3, -1.0), 3, "-1.0"),
    "infinite": (_with(-1, np.inf), 59, "inf"),
}


@pytest.mark.parametrize(("f", "index", "shown"), UNORDERED.values(), ids=UNORDERED.keys())
def test_frequencies_the_network_cannot_read_are_named(weight_file, f, index, shown):
    path = weight_file("R0-(R1,C1)", 16, 0)
    message = (
        f"cannot guess from point {index}: its frequency {shown} Hz is not a positive finite number"
    )
    with pytest.raises(ValueError, match="^" + re.escape(message) + "$"):
        Circuit("R0-(R1,C1)").guess(f, _rc(W), weights=str(path))


# User circuit, the circuit the file was trained for, permutation, whether K/Zarc expand.
# fmt: off
TOPOLOGIES = {
    "relabelled_and_reordered": ("(R1,C2)-R3", "R0-(R1,C1)", [1, 2, 0], False),
    "k_through_rc": ("R0-K1", "R0-(R1,C1)", [0, 1, 2], True),
    "zarc_first_through_rq": ("Zarc1-R0", "R0-(R1,CPE1)", [1, 2, 3, 0], True),
}
# fmt: on


@pytest.mark.parametrize("case", TOPOLOGIES.values(), ids=TOPOLOGIES.keys())
def test_guess_maps_outputs_to_the_user_circuit(weight_file, case):
    user, trained, perm, expanded = case
    path = weight_file(trained, 16, 1)
    f, z = SPECTRA["rq_descending"]
    circuit = Circuit(user)
    values = Guesser.from_file(path).predict(f, z)
    expected = to_user_order(values, perm, circuit.param_names(), expanded)
    actual = circuit.guess(f, z, weights=str(path))
    np.testing.assert_allclose(actual, expected, rtol=RTOL, atol=0)


# Each registry circuit rewritten with its blocks and branches reordered and every label n
# renamed 50 - n (which reverses their order). Blocks of equal shape keep their written
# order: the matcher pairs indistinguishable blocks by position, which is all it can do.
# fmt: off
VARIANTS = {
    "rc": "(C49,R49)-R50",
    "rc_l": "(R49,C49)-R50-L50",
    "rq": "(CPE49,R49)-R50",
    "rq_l": "R50-(CPE49,R49)-L50",
    "two_rc": "(C49,R49)-R50-(C48,R48)",
    "two_rc_l": "L50-(R49,C49)-(C48,R48)-R50",
    "two_rq": "(CPE49,R49)-(R48,CPE48)-R50",
    "two_rq_l": "(CPE49,R49)-R50-(R48,CPE48)-L50",
    "randles": "(CPE49,W49-R49)-R50",
    "sei_randles": "(W48-R48,CPE48)-R50-(R49,CPE49)",
    "sei_randles_wo": "(CPE48,Wo48-R48)-(CPE49,R49)-R50",
}
# fmt: on


@pytest.mark.parametrize(("key", "variant"), VARIANTS.items(), ids=list(VARIANTS))
def test_relabelled_and_reordered_circuits_get_each_value_in_the_right_place(
    weight_file, key, variant
):
    notation = REGISTRY[key]
    path = str(weight_file(notation, 16, 1))
    original = Circuit(notation)
    z = original.with_values(
        [
            0.8 if n.endswith("alpha") else 10.0 ** (i % 3 - 1)
            for i, n in enumerate(original.param_names())
        ]
    ).impedance(F)
    names = original.param_names()
    expected = dict(zip(names, original.guess(F, z, weights=path), strict=True))
    variant = Circuit(variant)
    got = dict(zip(variant.param_names(), variant.guess(F, z, weights=path), strict=True))
    assert sorted(VARIANTS) == sorted(REGISTRY)
    for name, value in expected.items():
        label, field = name.split(".")
        code, number = re.fullmatch(r"([A-Za-z]+)([0-9]+)", label).groups()
        assert got[f"{code}{50 - int(number)}.{field}"] == value, (variant, name)


# Metadata written unusually but validly: signed/spaced numbers, a repeated key whose last
# value counts, non-default kernel, groups and grid (down to a single grid point),
# dilations reaching past the grid.
QUIRKS = {
    "k3_g4_grid33": dict(n_grid=33, kernel=3, groups=4, dilations=(2, 1)),
    "single_grid_point": dict(n_grid=1, kernel=5, groups=8, dilations=(1,)),
    # an even kernel pads unevenly; dilation 30 on a grid of 20 puts whole taps off the grid
    "even_kernel_taps_off_grid": dict(n_grid=20, kernel=4, groups=4, dilations=(7, 30)),
}


@pytest.mark.parametrize("settings", QUIRKS.values(), ids=QUIRKS.keys())
def test_guess_reads_unusual_but_valid_metadata(tmp_path, settings):
    metadata, tensors = random_guesser("R0-(R1,C1)", ["R0.r", "R1.r", "C1.c"], 16, **settings)
    pairs = [("n_grid", "999"), *metadata.items(), ("kernel", f"+{settings['kernel']}")]
    pairs.append(("dilations", " , ".join(str(d) for d in settings["dilations"])))
    path = tmp_path / "quirks.eisnn"
    path.write_bytes(encode_eisnn(pairs, tensors) + b"trailing bytes are ignored")
    f, z = SPECTRA["rc_ascending"]
    expected = Guesser.from_file(path).predict(f, z)
    actual = Circuit("R0-(R1,C1)").guess(f, z, weights=str(path))
    np.testing.assert_allclose(actual, expected, rtol=RTOL, atol=0)


def _header(**changes):
    """A file that loads (three outputs, no network tensors), with metadata changed."""
    metadata = random_guesser("R0-(R1,C1)", ["R0.r", "R1.r", "C1.c"], 8)[0]
    tensors = {name: np.zeros(3) for name in ("target_mean", "target_std", "log_params")}
    tensors["scaling"] = np.zeros(changes.pop("scaling", 12))
    tensors["scaling"][3::4] = changes.pop("scaling_index", 0)
    metadata.update(changes)
    return encode_eisnn({k: v for k, v in metadata.items() if v is not None}, tensors)


def _u32(n):
    return struct.pack("<I", n)


UNPARSABLE = 'weight file has an unparsable value for "{}"'
# fmt: off
# A cut at every offset is the property tests' (test_properties.py).
BROKEN = {
    "bad_magic": (b"EISNN002" + bytes(8), "not an eisnn weight file (bad magic bytes)"),
    "encoding_3": (MAGIC + _u32(0) + _u32(1) + _u32(1) + b"x" + bytes([3, 0]),
                   "weight file uses tensor encoding 3, which this build does not know"),
    "scaling_11_for_3": (_header(scaling=11), 'tensor "scaling" has 11 elements, expected 12'),
    # An output scaled by an output past the last one would be read out of range.
    "scaling_index_past_outputs": (_header(scaling_index=3), UNPARSABLE.format("scaling")),
    "estimator_median": (_header(estimator="median"),
                         'weight file was normalised with the "median" scale estimator, which '
                         "this build does not implement (supported: reactive_centroid)"),
    "n_grid_missing": (_header(n_grid=None), 'weight file is missing "n_grid"'),
    "n_grid_negative": (_header(n_grid="-1"), UNPARSABLE.format("n_grid")),
    "dilations_trailing_comma": (_header(dilations="1,2,"), UNPARSABLE.format("dilations")),
    # Metadata that contradicts the tensors.
    "two_names_for_three_outputs": (_header(param_names="R0.r,R1.r"),
                                    'tensor "target_mean" has 3 elements, expected 2'),
}
# fmt: on


@pytest.mark.parametrize("content, message", BROKEN.values(), ids=BROKEN.keys())
def test_guess_reports_malformed_weight_files(tmp_path, content, message):
    path = tmp_path / "broken.eisnn"
    path.write_bytes(content)
    f, z = SPECTRA["rc_ascending"]
    with pytest.raises(ValueError) as raised:
        Circuit("R0-(R1,C1)").guess(f, z, weights=str(path))
    assert str(raised.value) == message


def test_a_kernel_other_than_the_tensors_is_refused(tmp_path):
    metadata, tensors = random_guesser("R0-(R1,C1)", ["R0.r", "R1.r", "C1.c"], 8, kernel=5)
    metadata["kernel"] = "3"  # 8 x 3 x 5 stem weights would be read with a stride of 3
    path = tmp_path / "kernel.eisnn"
    write_eisnn(path, metadata, tensors)
    f, z = SPECTRA["rc_ascending"]
    with pytest.raises(ValueError, match='^tensor "w.stem.weight" has 120 elements, expected 72$'):
        Circuit("R0-(R1,C1)").guess(f, z, weights=str(path))


def test_names_in_another_order_than_the_circuits_are_refused(tmp_path):
    path = tmp_path / "swapped.eisnn"
    write_eisnn(path, *random_guesser("R0-(R1,C1)", ["R1.r", "R0.r", "C1.c"], 8))
    f, z = SPECTRA["rc_ascending"]
    with pytest.raises(ValueError) as raised:
        Circuit("R0-(R1,C1)").guess(f, z, weights=str(path))
    assert str(raised.value) == UNPARSABLE.format(
        f'{path} names its parameters [\\"R1.r\\", \\"R0.r\\", \\"C1.c\\"], but its '
        'circuit \\"R0-(R1,C1)\\" has [\\"R0.r\\", \\"R1.r\\", \\"C1.c\\"]'
    )


def test_guess_rejects_a_file_for_another_topology(weight_file):
    path = str(weight_file("R0-(R1,C1)", 16, 1))
    with pytest.raises(ValueError, match="which is a different circuit") as raised:
        Circuit("L0-R0-(R1,C1)").guess(F, _rc(W), weights=path)
    assert path in str(raised.value) and '\\"R0-(R1,C1)\\"' in str(raised.value)


def test_exponents_are_clamped_before_they_scale_q(tmp_path):
    notation = "R0-(R1,CPE1)-(R2,CPE2)"
    circuit = Circuit(notation)
    names = circuit.param_names()
    metadata, tensors = random_guesser(notation, names, 16)
    mean = tensors["target_mean"][0].copy()
    mean[names.index("CPE1.alpha")], mean[names.index("CPE2.alpha")] = 3.0, -3.0
    tensors["target_mean"] = (mean, 0)
    path = tmp_path / "clamped.eisnn"
    write_eisnn(path, metadata, tensors)
    f, z = SPECTRA["rq_descending"]
    actual = circuit.guess(f, z, weights=str(path))
    assert [actual[names.index(n)] for n in ("CPE1.alpha", "CPE2.alpha")] == [1.0, 0.05]
    np.testing.assert_allclose(actual, Guesser.from_file(path).predict(f, z), rtol=RTOL, atol=0)


RC = "R0-(R1,C1)"
RC_Z = Circuit(RC).with_values([1.0, 10.0, 1e-4]).impedance(F)


def _rc_file(path, seed):
    write_eisnn(path, *random_guesser(RC, ["R0.r", "R1.r", "C1.c"], 16, seed=seed))
    return Circuit(RC).guess(F, RC_Z, weights=str(path))


def test_a_loaded_file_is_read_again_only_when_it_changed(tmp_path, monkeypatch):
    path = tmp_path / "rc.eisnn"
    first = _rc_file(path, seed=5)
    # New bytes of the same size written in place under the old times (same inode,
    # size and modification time): the new network.
    before = path.stat()
    fresh = _rc_file(tmp_path / "other.eisnn", seed=6)
    assert fresh != first
    path.write_bytes((tmp_path / "other.eisnn").read_bytes())
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    after = path.stat()
    assert (after.st_ino, after.st_size, after.st_mtime_ns) == (
        before.st_ino,
        before.st_size,
        before.st_mtime_ns,
    )
    assert Circuit(RC).guess(F, RC_Z, weights=str(path)) == fresh
    # Touched, bytes unchanged: the same network.
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns + 10**9))
    assert Circuit("(R1,C1)-R0").guess(F, RC_Z, weights=str(path)) == [fresh[1], fresh[2], fresh[0]]
    # Overwritten for real (new inode) with the first network again: read again.
    _rc_file(tmp_path / "other.eisnn", seed=5)
    (tmp_path / "other.eisnn").replace(path)
    assert Circuit(RC).guess(F, RC_Z, weights=str(path)) == first
    fresh = _rc_file(path, seed=6)
    # The same relative name in another folder is another file.
    monkeypatch.chdir(tmp_path)
    assert Circuit(RC).guess(F, RC_Z, weights="rc.eisnn") == fresh
    (tmp_path / "sub").mkdir()
    _rc_file(tmp_path / "sub" / "rc.eisnn", seed=7)
    monkeypatch.chdir(tmp_path / "sub")
    assert Circuit(RC).guess(F, RC_Z, weights="rc.eisnn") not in (first, fresh)
    # Deleted: an error, not the network it used to hold.
    path.unlink()
    with pytest.raises(ValueError, match="^reading weights: No such file"):
        Circuit(RC).guess(F, RC_Z, weights=str(path))


NOT_REGULAR = """
import os, sys
import numpy as np
from kelvara import Circuit
path = sys.argv[1]
if not os.path.exists(path):
    os.mkfifo(path)
try:
    Circuit("R0-(R1,C1)").guess(np.array([1.0, 10.0]), np.array([1 - 1j, 1 - 2j]), weights=path)
except ValueError as e:
    print(e)
"""


@pytest.mark.parametrize(
    ("kind", "name"), [("a FIFO", "fifo"), ("a directory", ""), ("a device", "/dev/zero")]
)
def test_weights_that_are_not_a_regular_file_are_refused_at_once(tmp_path, kind, name):
    path = str(tmp_path / name)  # an absolute name replaces the folder
    # In a process of its own: a read that blocks would freeze this one.
    run = subprocess.run(
        [sys.executable, "-c", NOT_REGULAR, path], capture_output=True, text=True, timeout=30
    )
    assert run.stdout.strip() == f"reading weights: {path!r} is {kind}, not a regular file".replace(
        "'", '"'
    ), run.stderr
