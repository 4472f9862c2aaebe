"""Guesses reach the right parameters whatever the labels and order, and are shared safely."""

import os
import re
import subprocess
import sys
import threading

import numpy as np
import pytest
import synth
from eisnn_format import random_guesser, write_eisnn

from kelvara import Circuit

F = np.logspace(-1, 5, 40)


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


@pytest.fixture(scope="module")
def weight_files(tmp_path_factory):
    paths = {}
    for key, (notation, _) in synth.REGISTRY.items():
        metadata, tensors = random_guesser(notation, Circuit(key).param_names(), 16, seed=3)
        paths[key] = str(tmp_path_factory.mktemp("w") / f"{key}.eisnn")
        write_eisnn(paths[key], metadata, tensors)
    return paths


@pytest.mark.parametrize(("key", "variant"), VARIANTS.items(), ids=list(VARIANTS))
def test_relabelled_and_reordered_circuits_get_each_value_in_the_right_place(
    weight_files, key, variant
):
    original = Circuit(synth.REGISTRY[key][0])
    z = original.with_values(
        [
            0.8 if n.endswith("alpha") else 10.0 ** (i % 3 - 1)
            for i, n in enumerate(original.param_names())
        ]
    ).impedance(F)
    names = original.param_names()
    expected = dict(zip(names, original.guess(F, z, weights=weight_files[key]), strict=True))
    variant = Circuit(variant)
    got = dict(
        zip(variant.param_names(), variant.guess(F, z, weights=weight_files[key]), strict=True)
    )
    assert sorted(VARIANTS) == sorted(synth.REGISTRY)
    for name, value in expected.items():
        label, field = name.split(".")
        code, number = re.fullmatch(r"([A-Za-z]+)([0-9]+)", label).groups()
        assert got[f"{code}{50 - int(number)}.{field}"] == value, (variant, name)


RC = "R0-(R1,C1)"
RC_Z = Circuit(RC).with_values([1.0, 10.0, 1e-4]).impedance(F)


def _rc_file(path, seed):
    write_eisnn(path, *random_guesser(RC, ["R0.r", "R1.r", "C1.c"], 16, seed=seed))
    return Circuit(RC).guess(F, RC_Z, weights=str(path))


def test_a_loaded_file_is_read_again_only_when_it_changed(tmp_path, monkeypatch):
    path = tmp_path / "rc.eisnn"
    first = _rc_file(path, seed=5)
    # New bytes of the same size under the old times: the file looks unchanged.
    before = path.stat()
    fresh = _rc_file(tmp_path / "other.eisnn", seed=6)
    path.write_bytes((tmp_path / "other.eisnn").read_bytes())
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns))
    assert Circuit("(R1,C1)-R0").guess(F, RC_Z, weights=str(path)) == [first[1], first[2], first[0]]
    # Rewritten in place (same inode) with a new modification time: the new network.
    os.utime(path, ns=(before.st_atime_ns, before.st_mtime_ns + 10**9))
    assert path.stat().st_ino == before.st_ino
    assert Circuit(RC).guess(F, RC_Z, weights=str(path)) == fresh
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


def test_threads_sharing_a_new_weight_file_agree_with_sequential_calls(tmp_path):
    path = str(tmp_path / "rq.eisnn")
    write_eisnn(
        path, *random_guesser("R0-(R1,CPE1)", ["R0.r", "R1.r", "CPE1.q", "CPE1.alpha"], 16, seed=9)
    )
    circuit = Circuit("R0-(R1,CPE1)")
    z = circuit.with_values([2.0, 20.0, 1e-4, 0.85]).impedance(F)
    results, errors = [], []
    barrier = threading.Barrier(8)

    def work():
        try:
            barrier.wait()
            guessed = circuit.guess(F, z, weights=path)
            fitted = circuit.with_values(guessed).fit(F, z).params
            results.append((guessed, fitted))
        except Exception as e:  # reported below, never lost in the thread
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    sequential = circuit.guess(F, z, weights=path)
    assert all(r == (sequential, circuit.with_values(sequential).fit(F, z).params) for r in results)
