"""scripts/mutate.py never leaves a fault behind, whatever ends its run (`mutate.py --check`
validates the fault list)."""

import json

import mutate
import pytest


@pytest.fixture
def tree(tmp_path, monkeypatch):
    (tmp_path / "src" / "fit").mkdir(parents=True)
    source = tmp_path / "src" / "fit" / "a.cpp"
    source.write_bytes(b"int f() { return 1 + 2; }\r\n")
    monkeypatch.setattr(mutate, "ROOT", tmp_path)
    monkeypatch.setattr(mutate, "BUILD", tmp_path / "build")
    monkeypatch.setattr(mutate, "MARKER", tmp_path / "build" / "applied.json")
    fault = mutate.Fault("f", "src/fit/a.cpp", "1 + 2", "1 - 2", "sign")
    return source, fault


def test_the_file_is_restored_byte_for_byte_when_the_run_fails(tree):
    source, fault = tree
    original = source.read_bytes()
    with pytest.raises(KeyboardInterrupt), mutate.Applied(fault):
        assert b"1 - 2" in source.read_bytes()
        raise KeyboardInterrupt
    assert source.read_bytes() == original
    assert not mutate.MARKER.exists()


def test_a_fault_left_by_a_killed_run_is_taken_out_at_the_next_start(tree):
    source, fault = tree
    original = source.read_bytes()
    applied = mutate.Applied(fault)
    applied.__enter__()  # killed before __exit__
    mutate.recover_from_killed_run()
    assert source.read_bytes() == original
    # A file changed by hand since is left alone.
    applied.__enter__()
    source.write_bytes(b"edited")
    with pytest.raises(SystemExit, match="has changed since"):
        mutate.recover_from_killed_run()
    assert source.read_bytes() == b"edited"
    assert json.loads(mutate.MARKER.read_text())["id"] == "f"
