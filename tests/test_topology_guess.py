"""Guesses reach the right parameters whatever the labels and order, and are shared safely."""

import os
import random
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


def _parse(text, pos=0):
    """Notation to nested lists: a series list of labels and groups (lists of branches)."""
    items = []
    while True:
        if text[pos] == "(":
            branches = []
            pos += 1
            while True:
                branch, pos = _parse(text, pos)
                branches.append(branch)
                pos += 1
                if text[pos - 1] == ")":
                    break
            items.append(branches)
        else:
            label = re.match(r"[A-Za-z]+[0-9]+", text[pos:]).group(0)
            items.append(label)
            pos += len(label)
        if pos < len(text) and text[pos] == "-":
            pos += 1
            continue
        return items, pos


def _shape(item):
    """The label-free shape of an item: equal shapes are interchangeable."""
    if isinstance(item, str):
        return re.match(r"[A-Za-z]+", item).group(0)
    return "(" + ",".join(sorted("-".join(sorted(map(_shape, b))) for b in item)) + ")"


def _shuffle_keeping_twins(items, shapes, rng):
    """Shuffles, except that items of equal shape keep their written order: the
    matcher pairs indistinguishable blocks by position, which is all it can do."""
    order = list(range(len(items)))
    rng.shuffle(order)
    out = [None] * len(items)
    for shape in set(shapes):
        slots = [k for k, i in enumerate(order) if shapes[i] == shape]
        for slot, i in zip(
            slots, [i for i in range(len(items)) if shapes[i] == shape], strict=True
        ):
            out[slot] = items[i]
    return out


def _variant(series, rng, labels):
    """Shuffled series items and branches, every element relabelled; fills old -> new label."""
    out = []
    for item in series:
        if isinstance(item, str):
            code = re.match(r"[A-Za-z]+", item).group(0)
            new = f"{code}{rng.randrange(10, 99)}"
            while new in labels.values():
                new = f"{code}{rng.randrange(10, 99)}"
            labels[item] = new
            out.append(new)
        else:
            branches = [_variant(b, rng, labels) for b in item]
            branches = _shuffle_keeping_twins(
                branches, ["-".join(sorted(map(_shape, b))) for b in item], rng
            )
            out.append("(" + ",".join(branches) + ")")
    return "-".join(_shuffle_keeping_twins(out, [_shape(i) for i in series], rng))


# The training tool's copy of the registry; test_registry_lists checks it against the module.
REGISTRY = {key: notation for key, (notation, _) in synth.REGISTRY.items()}


@pytest.fixture(scope="module")
def weight_files(tmp_path_factory):
    paths = {}
    for key, notation in REGISTRY.items():
        metadata, tensors = random_guesser(notation, Circuit(key).param_names(), 16, seed=3)
        paths[key] = str(tmp_path_factory.mktemp("w") / f"{key}.eisnn")
        write_eisnn(paths[key], metadata, tensors)
    return paths


@pytest.mark.parametrize(("key", "notation"), REGISTRY.items(), ids=list(REGISTRY))
def test_relabelled_and_reordered_circuits_get_each_value_in_the_right_place(
    weight_files, key, notation
):
    original = Circuit(notation)
    z = original.with_values(
        [
            0.8 if n.endswith("alpha") else 10.0 ** (i % 3 - 1)
            for i, n in enumerate(original.param_names())
        ]
    ).impedance(F)
    expected = dict(
        zip(original.param_names(), original.guess(F, z, weights=weight_files[key]), strict=True)
    )
    rng = random.Random(key)
    for _ in range(4):
        labels = {}
        variant = Circuit(_variant(_parse(notation)[0], rng, labels))
        got = dict(
            zip(variant.param_names(), variant.guess(F, z, weights=weight_files[key]), strict=True)
        )
        for name, value in expected.items():
            label, field = name.split(".")
            assert got[f"{labels[label]}.{field}"] == value, (variant, name)


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


@pytest.mark.parametrize("kind", ["a FIFO", "a directory", "a device"])
def test_weights_that_are_not_a_regular_file_are_refused_at_once(tmp_path, kind):
    path = {"a FIFO": str(tmp_path / "fifo"), "a directory": str(tmp_path), "a device": "/dev/zero"}[kind]
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
