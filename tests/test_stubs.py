"""The type stubs describe the built module, and the examples type-check against them."""

import os
import subprocess
import sys
from pathlib import Path

import kelvara

ROOT = Path(__file__).resolve().parent.parent


def mypy(*args: str | Path, cwd: Path = ROOT) -> subprocess.CompletedProcess[str]:
    # The stubs in the tree win over an installed copy; the module is the one under test.
    env = dict(
        os.environ, MYPYPATH=str(ROOT / "stubs"), PYTHONPATH=str(Path(kelvara.__file__).parent)
    )
    return subprocess.run(
        [sys.executable, "-m", *map(str, args)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_stubtest_finds_the_stubs_complete_and_accurate(tmp_path):
    # Run elsewhere: stubtest leaves a cache in its working folder.
    done = mypy("mypy.stubtest", "kelvara", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_and_benchmarks_type_check(tmp_path):
    done = mypy("mypy", "--ignore-missing-imports", "--cache-dir", tmp_path, "examples", "bench")
    assert done.returncode == 0, done.stdout + done.stderr
