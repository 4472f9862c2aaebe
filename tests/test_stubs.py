"""The stubs describe the built module, and mypy and ruff pass over the Python beside it."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kelvara

ROOT = Path(__file__).resolve().parent.parent
LAB = ["python/kelvara_lab", "tests/lab", "bench/kk.py", "bench/lab.py"]
MYPY = {
    "stubtest": ["mypy.stubtest", "kelvara"],
    "examples": ["mypy", "--ignore-missing-imports", "examples", "bench"],
    "lab_strict": ["mypy", "--strict", "python/kelvara_lab"],
}


def run(*args: str | Path, cwd: Path = ROOT) -> subprocess.CompletedProcess[str]:
    # The stubs in the tree win over an installed copy; the module is the one under test.
    env = dict(
        os.environ, MYPYPATH=str(ROOT / "stubs"), PYTHONPATH=str(Path(kelvara.__file__).parent)
    )
    return subprocess.run(
        [*map(str, args)], cwd=cwd, env=env, capture_output=True, text=True, timeout=300
    )


@pytest.mark.parametrize("args", MYPY.values(), ids=MYPY.keys())
def test_mypy_passes(tmp_path, args):
    if args[0] == "mypy.stubtest":  # run elsewhere: it leaves a cache in its working folder
        done = run(sys.executable, "-m", *args, cwd=tmp_path)
    else:
        done = run(sys.executable, "-m", *args, "--cache-dir", tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("command", [["check"], ["format", "--check"]], ids=["lint", "format"])
def test_ruff_passes_over_the_lab(command):
    ruff = shutil.which("ruff", path=str(Path(sys.executable).parent)) or shutil.which("ruff")
    if ruff is None:
        pytest.skip("ruff is not installed (it comes with the test dependency group)")
    done = run(ruff, *command, *LAB)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_stub_and_the_signature_follow_the_one_option_table():
    import ast
    import inspect

    import kelvara
    from kelvara_lab import _engine

    table = [(o["name"], o["default"]) for o in _engine.fit_options()]
    runtime = inspect.signature(kelvara.Circuit.fit).parameters
    assert [(n, p.default) for n, p in runtime.items()][-len(table) :] == [
        (n, ast.literal_eval(d)) for n, d in table
    ]
    stub = ast.parse((Path(__file__).parent.parent / "stubs" / "kelvara.pyi").read_text())
    fit = next(
        node
        for cls in stub.body
        if isinstance(cls, ast.ClassDef) and cls.name == "Circuit"
        for node in cls.body
        if isinstance(node, ast.FunctionDef) and node.name == "fit"
    )
    args = fit.args.args[-len(table) :]
    defaults = fit.args.defaults[-len(table) :]
    assert [(a.arg, ast.literal_eval(d)) for a, d in zip(args, defaults, strict=True)] == [
        (n, ast.literal_eval(d)) for n, d in table
    ]
