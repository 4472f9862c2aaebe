"""kelvara_lab passes mypy --strict and ruff, as the rest of the Python does."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
LAB = ["python/kelvara_lab", "tests/lab", "bench/kk.py", "bench/lab.py"]


def run(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(args, cwd=ROOT, capture_output=True, text=True, timeout=300)


def test_mypy_strict(tmp_path):
    done = run(
        sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path), "python/kelvara_lab"
    )
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("command", [["check"], ["format", "--check"]], ids=["lint", "format"])
def test_ruff(command):
    ruff = shutil.which("ruff", path=str(Path(sys.executable).parent)) or shutil.which("ruff")
    if ruff is None:
        pytest.skip("ruff is not installed (it comes with the test dependency group)")
    done = run(ruff, *command, *LAB)
    assert done.returncode == 0, done.stdout + done.stderr
