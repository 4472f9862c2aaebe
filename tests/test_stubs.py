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
