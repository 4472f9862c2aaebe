"""The README as a newcomer runs it: every Python block, every doctest and every
``$ kelvara-lab`` command with its printed output, from a folder that sees the clone's root
as the README does (its files written there, not into the clone)."""

import doctest
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text(encoding="utf-8")
BIN = Path(sys.executable).parent
FENCE = re.compile(r"^```(\w*)\n(.*?)^```", re.MULTILINE | re.DOTALL)
# An exception's report runs over several lines (caret, syntax): its type is what is checked.
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE | doctest.IGNORE_EXCEPTION_DETAIL

# Shell blocks that set the machine up or run the suite itself (this test is part of it),
# and those that install from a package index: not run here, said here.
NOT_RUN = {
    "scripts/run_example.sh": "installs system packages; its three commands run below",
    "scripts/test.sh": "runs this suite",
    "pip install --group bench": "installs from a package index",
    "bench/run.py": "the benchmarks take minutes",
    "cmake -S . -B build/mod": "a second build of the module",
    "-m pytest -q": "runs this suite",
}


def _blocks():
    """(language, text, line) of every fenced block."""
    for match in FENCE.finditer(README):
        yield match.group(1), match.group(2), README.count("\n", 0, match.start()) + 1


@pytest.fixture(scope="module")
def root_view(tmp_path_factory):
    """A folder whose entries are the clone's top-level files and folders (links), so that a
    path the README names resolves as from the root, while what it writes stays here."""
    place = tmp_path_factory.mktemp("clone-root")
    for entry in ROOT.iterdir():
        if entry.name not in ("build", ".git"):
            (place / entry.name).symlink_to(entry)
    return place


def _environment():
    env = dict(os.environ, MPLBACKEND="Agg", COLUMNS="100")
    env["PATH"] = f"{BIN}{os.pathsep}{env.get('PATH', '')}"
    return env


def test_every_shell_block_is_run_or_said_why_not():
    for language, text, line in _blocks():
        if language != "sh":
            continue
        for command in filter(None, (c.split("#")[0].strip() for c in text.splitlines())):
            assert any(key in command for key in NOT_RUN), f"README line {line}: {command}"


def test_python_blocks_run_in_order(root_view):
    """The plain Python blocks, one session in the README's order (later blocks use the
    names earlier ones made, as a reader's session would)."""
    code = [text for language, text, _ in _blocks() if language == "python" and ">>>" not in text]
    assert code
    script = root_view / "readme_blocks.py"
    script.write_text("\n".join(code), encoding="utf-8")
    done = subprocess.run(
        [sys.executable, script.name],
        cwd=root_view,
        env=_environment(),
        capture_output=True,
        text=True,
        timeout=900,
    )
    assert done.returncode == 0, done.stderr[-3000:]


def test_doctest_blocks_print_what_the_readme_shows(root_view, monkeypatch):
    sessions = [
        (text, line) for language, text, line in _blocks() if language == "python" and ">>>" in text
    ]
    assert sessions
    monkeypatch.chdir(root_view)
    import numpy as np

    import kelvara
    import kelvara_lab

    names = {"np": np, "kelvara": kelvara, "kelvara_lab": kelvara_lab, "kl": kelvara_lab}
    names["f"] = np.logspace(4, -2, 60)
    names["z"] = (
        kelvara.Circuit("R0-(R1,CPE1)").with_values([0.02, 0.05, 0.5, 0.85]).impedance(names["f"])
    )
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    for text, line in sessions:
        test = parser.get_doctest(text, names, f"README line {line}", "README.md", line)
        runner.run(test, clear_globs=False)
        names.update(test.globs)  # each block goes on from the names the earlier ones made
    assert runner.failures == 0, "see the doctest report above"


def _run_command(command, root_view):
    """One README command line, run as the reader would from the repository's root."""
    args = shlex.split(command)
    return subprocess.run(
        [str(BIN / args[0]), *args[1:]],
        cwd=root_view,
        env=_environment(),
        capture_output=True,
        text=True,
        timeout=900,
    )


def _commands():
    """(command, expected output, README line) of each ``$ kelvara-lab`` in a text block."""
    for language, text, line in _blocks():
        if language not in ("", "text") or "$ kelvara-lab" not in text:
            continue
        pieces = re.split(r"^\$ (.*)\n", text, flags=re.MULTILINE)
        for command, output in zip(pieces[1::2], pieces[2::2], strict=True):
            yield command, output, line


@pytest.mark.parametrize("command, expected, line", list(_commands()), ids=lambda v: str(v)[:40])
def test_commands_print_what_the_readme_shows(root_view, command, expected, line):
    done = _run_command(command, root_view)
    checker = doctest.OutputChecker()
    assert checker.check_output(expected, done.stdout, FLAGS), (
        f"README line {line}: {command}\n--- printed\n{done.stdout}{done.stderr[-2000:]}"
    )


def test_the_main_job_prints_what_the_readme_shows(root_view):
    """The output the README shows for scripts/run_example.sh, from its three commands."""
    script = (ROOT / "scripts" / "run_example.sh").read_text(encoding="utf-8")
    spectrum = re.search(r"^spectrum=(\S+)$", script, re.MULTILINE).group(1)
    commands = [
        line.replace('"$spectrum"', spectrum).replace(".venv/bin/", "")
        for line in script.splitlines()
        if line.startswith(".venv/bin/kelvara-lab")
    ]
    assert len(commands) == 3
    (root_view / "build").mkdir(exist_ok=True)
    printed = ""
    for command in commands:
        done = _run_command(command, root_view)
        assert done.returncode == 0, done.stderr
        printed += done.stdout
    shown = next(
        text
        for language, text, _ in _blocks()
        if language == "" and text.startswith(f"{spectrum}\n")
    )
    assert doctest.OutputChecker().check_output(shown, printed, FLAGS), printed
