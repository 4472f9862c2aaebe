"""identify: the candidates' canonical form, the pruning rules, recovery and a stable ranking."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from click.testing import CliRunner

import kelvara
import kelvara_lab as kl
from kelvara_lab.circuit.notation import REGISTRY
from kelvara_lab.cli.main import main
from kelvara_lab.identification.candidates import (
    distinct,
    equivalence_key,
    generate,
    notation,
    parse,
)
from kelvara_lab.identification.pruning import features, prune
from kelvara_lab.identification.rank import identify

F = np.logspace(5, -2, 50)


def spectrum(circuit: str, values: list[float], noise: float = 0.005, seed: int = 1):
    z = kelvara.Circuit(circuit).with_values(values).impedance(F)
    rng = np.random.default_rng(seed)
    return F, z * (1 + noise * (rng.standard_normal(len(F)) + 1j * rng.standard_normal(len(F))))


TWO_ARCS = spectrum("R0-(R1,CPE1)-(R2,CPE2)", [0.02, 0.05, 0.5, 0.85, 0.1, 20, 0.8])
INDUCTIVE = spectrum("L0-R0-(R1,CPE1)-(R2,CPE2)", [5e-8, 0.02, 0.05, 0.5, 0.85, 0.1, 20, 0.8])
RANDLES = spectrum("R0-(R1-W1,C1)", [10, 100, 30, 1e-6])
ONE_ARC = spectrum("R0-(R1,C1)", [5, 100, 1e-5])


@pytest.mark.parametrize(
    ("a", "b"),
    [
        ("R0-(R1,C1)", "(C1,R1)-R0"),
        ("R0-R1-(R2,C2)", "R0-(R2,C2)"),
        ("R0-(R1,C1,C2)", "R0-(R1,C1)"),
        ("R0-C1-C2", "C0-R0"),
        ("L0-L1-R0", "L0-R0"),
        ("R0-W1-W2", "R0-W1"),
        ("R0-(R1,C1)-(R2,C2)", "R0-(R1-(R2,C2),C1)"),
        ("R0-(R1,C1)-(R2,C2)", "(R2,C2)-R0-(R1,C1)"),
        ("R0-(R1,C1)", "(R1,R2-C1)"),
        ("R0-(R1,L1)", "(R1,R2-L1)"),
        ("R0-K1", "R0-p(R1,C1)"),
        ("R0-Zarc1", "R0-(R1,CPE1)"),
        ("L0-R0-(R1,CPE1)-(R2-W2,CPE2)", "(R2-W2,CPE2)-(CPE1,R1)-R0-L0"),
    ],
    ids=lambda s: s,
)
def test_equivalent_circuits_share_one_key(a: str, b: str) -> None:
    assert equivalence_key(parse(a)) == equivalence_key(parse(b)) is not None


@pytest.mark.parametrize(
    ("a", "b"),
    [
        ("R0-(R1,CPE1)", "R0-(R1,C1)"),
        (
            "R0-(R1,CPE1)-(R2,CPE2)",
            "R0-(R1-(R2,CPE2),CPE1)",
        ),  # CPE ladders are a model of their own
        ("R0-(R1-W1,C1)", "R0-W1-(R1,C1)"),
        ("R0-(R1,C1)", "R0-C1-(R1,C2)"),
        ("L0-R0-(R1,C1)", "R0-(R1,L0,C1)"),
    ],
    ids=lambda s: s,
)
def test_different_circuits_keep_their_keys(a: str, b: str) -> None:
    assert equivalence_key(parse(a)) != equivalence_key(parse(b))


@pytest.mark.parametrize("text", ["R0-(R1,R2-C1)", "R0-(R1-(R2,R3-C0),C1)", "(R0,L0-R1)-R2"])
def test_redundant_circuits_have_no_key(text: str) -> None:
    assert equivalence_key(parse(text)) is None


@pytest.mark.parametrize(
    ("made", "fitted", "values"),
    [
        ("R0-(R1,C1)-(R2,C2)", "R0-(R1-(R2,C2),C1)", [2.0, 30.0, 1e-5, 50.0, 1e-3]),
        ("R0-(R1,C1)", "(R1,R2-C1)", [2.0, 30.0, 1e-5]),
        ("R0-C0-(R1,C1)", "R0-(R1-C1,C2)", [2.0, 1e-3, 30.0, 1e-5]),
    ],
)
def test_one_key_means_one_impedance(made: str, fitted: str, values: list[float]) -> None:
    """Each equivalence the key claims is real: one circuit fits the other's impedance exactly."""
    assert equivalence_key(parse(made)) == equivalence_key(parse(fitted))
    z = kelvara.Circuit(made).with_values(values).impedance(F)
    report = kl.fit(fitted, (F, z), check=False, noise_floor=0.0)
    assert np.max(np.abs(report.impedance() - z) / np.abs(z)) < 1e-5


def test_generated_candidates_are_valid_and_distinct() -> None:
    trees = generate(("C", "CPE", "R", "W"), 4)
    kept, redundant = distinct(trees)
    assert redundant > 0 and len(kept) < len(trees)
    keys = [equivalence_key(t) for t in kept]
    assert len(set(keys)) == len(keys)
    for tree in kept:
        circuit = kelvara.Circuit(notation(tree))  # valid notation, unique labels
        assert parse(notation(tree)).text == tree.text
        assert len(circuit.param_names()) == sum(
            2 if k in ("CPE", "Wo") else 1 for k in tree.leaves()
        )


@pytest.mark.parametrize(
    ("data", "dropped", "kept"),
    [
        (
            TWO_ARCS,
            ["R0-(R1,CPE1)-C2", "(R1,CPE1)-(R2,CPE2)", "L0-R0-(R1,CPE1)-(R2,CPE2)"],
            ["R0-(R1,CPE1)-(R2,CPE2)", "R0-(R1-(R2,CPE2),CPE1)"],
        ),
        (RANDLES, ["R0-(R1,C1)", "R0-(R1,C1)-(R2,C2)"], ["R0-(R1-W1,C1)", "R0-W1-(R1,C1)"]),
        (
            INDUCTIVE,
            ["R0-(R1,CPE1)-(R2,CPE2)", "R0-(R1,L1)-(R2,CPE2)"],
            ["L0-R0-(R1,CPE1)-(R2,CPE2)"],
        ),
        (ONE_ARC, ["R0-(R1,C1)-(R2,C2)-(R3,C3)", "R0-C1"], ["R0-(R1,C1)", "R0-(R1,C1)-(R2,C2)"]),
    ],
    ids=["two arcs", "diffusion tail", "inductive", "one arc"],
)
def test_pruning_rules(data, dropped: list[str], kept: list[str]) -> None:
    found = features(*data)
    trees = tuple(parse(t) for t in dropped + kept)
    survivors, _ = prune(trees, found)
    assert [t.text for t in survivors] == [parse(t).text for t in kept], str(found)


@pytest.mark.parametrize(
    ("data", "truth", "elements"),
    [
        (ONE_ARC, "R0-(R1,C1)", ("R", "C", "CPE")),
        (RANDLES, "R0-(R1-W1,C1)", ("R", "C", "W")),
    ],
    ids=["one arc", "randles"],
)
def test_identify_recovers_the_generating_circuit(data, truth: str, elements) -> None:
    table = identify(data, elements=elements, max_elements=4, check=False)
    assert equivalence_key(parse(table["circuit"].iloc[0])) == equivalence_key(parse(truth))
    assert table["trusted"].iloc[0]
    attrs = table.attrs
    assert attrs["generated"] >= attrs["distinct"] >= attrs["survivors"] == len(table)
    assert attrs["searched"] <= len(table) and attrs["seconds"] > 0


def test_identify_names_registry_circuits_and_ranks_the_same_at_any_thread_count() -> None:
    runs = [
        identify(TWO_ARCS, elements=("R", "CPE"), max_elements=5, workers=w, check=False)
        for w in (1, 2, 1)
    ]
    first = runs[0]
    assert first["name"].iloc[0] == "two_rq"
    assert first["circuit"].iloc[0] == REGISTRY["two_rq"]
    assert list(first.columns[:4]) == ["circuit", "name", "elements", "parameters"]
    for other in runs[1:]:
        pd.testing.assert_series_equal(first["circuit"], other["circuit"])
        np.testing.assert_array_equal(first["bic"], other["bic"])


@pytest.mark.parametrize(
    ("options", "message"),
    [
        ({"elements": ("R", "Q")}, "unknown or unsupported"),
        ({"elements": ()}, "at least one"),
        ({"max_elements": 0}, "positive integer"),
    ],
)
def test_identify_rejects_bad_options(options, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        identify(ONE_ARC, check=False, **options)


def test_cli_identify_prints_the_best_and_draws_them(tmp_path, monkeypatch) -> None:
    f, z = ONE_ARC
    monkeypatch.chdir(tmp_path)  # a short name: the heading stays on one line
    path = Path("arc.csv")
    pd.DataFrame({kl.FREQUENCY: f, kl.REAL: z.real, kl.IMAGINARY: z.imag}).to_csv(path, index=False)
    result = CliRunner().invoke(
        main,
        [
            "identify",
            str(path),
            "--elements",
            "R,C,CPE",
            "--max-elements",
            "4",
            "--top",
            "2",
            "--plots",
            str(tmp_path / "plots"),
            "--no-progress",
        ],
    )
    assert result.exit_code == 0, result.output
    lines = result.stdout.splitlines()
    assert "candidates" in lines[0] and "rel. lik." in lines[1]
    rows = [line.split() for line in lines[2:] if line[:6].strip().isdigit()]  # not a fold
    assert rows[0][:3] == ["1", "R0-(R1,C1)", "rc"] and [r[0] for r in rows] == ["1", "2"]
    assert lines[-1].startswith("picture written")
    assert (tmp_path / "plots" / "arc-0-identify.png").exists()
