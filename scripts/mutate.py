#!/usr/bin/env python3
"""Seeds small faults into kelvara one at a time and reports which ones the suite catches.

    scripts/mutate.py                   every fault of scripts/faults.toml
    scripts/mutate.py ID ...            only these
    scripts/mutate.py --check           only validate the list (every `find` occurs once)
    scripts/mutate.py --json out.json   also write the table as JSON
    scripts/mutate.py ID -- tests/test_fit.py -k lm     pytest arguments after "--"

Each fault replaces one exact text in one file. The tool applies it, rebuilds what the file
feeds, runs the suite (CTest for core faults, and pytest -x), records caught or missed, and
restores the file, whatever happens (an error, Ctrl-C, SIGTERM). A fault still in the tree
from a run that was killed outright is taken out at the next start.

C++ faults rebuild one incremental Release tree, build/mutate (the two extension modules and
the C++ test binary), so a change costs a recompile and three links; pytest then imports
kelvara from build/mutate/site (first on PYTHONPATH) and the companion from python/, where
the build puts its engine. Companion faults need no rebuild.
pytest runs with a fixed Hypothesis seed and no example database, so two runs over the same
tree agree. Run it niced on a shared machine:
`nice -n 19 scripts/mutate.py`.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FAULTS = ROOT / "scripts" / "faults.toml"
BUILD = ROOT / "build" / "mutate"
SITE = BUILD / "site"
MARKER = BUILD / "applied.json"
HYPOTHESIS = BUILD / "hypothesis"
VENV_BIN = ROOT / ".venv" / "bin"
PYTHON = VENV_BIN / "python"

# The core's folders, one per subsystem, and the companion package.
SUBSYSTEMS = (*sorted(p.name for p in (ROOT / "src").iterdir() if p.is_dir()), "kelvara_lab")


@dataclass(frozen=True)
class Fault:
    id: str
    file: str
    find: str
    replace: str
    what: str

    @property
    def subsystem(self) -> str:
        parts = Path(self.file).parts
        if parts[:2] == ("python", "kelvara_lab"):
            return "kelvara_lab"
        if parts[0] == "src" and len(parts) > 2:
            return parts[1]
        return "python" if parts == ("src", "module.cpp") else parts[0]

    @property
    def is_cpp(self) -> bool:
        return self.file.startswith("src/")

    @property
    def is_core(self) -> bool:
        """In the static core library, which the C++ tests link."""
        return self.is_cpp and self.subsystem != "python"


def load_faults(path: Path = FAULTS, root: Path = ROOT) -> tuple[list[Fault], list[str]]:
    """The faults of `path`, and one problem text per entry that cannot be used."""
    with path.open("rb") as stream:
        data = tomllib.load(stream)
    faults: list[Fault] = []
    problems: list[str] = []
    seen: set[str] = set()
    for n, entry in enumerate(data.get("fault", []), 1):
        label = entry.get("id", f"entry {n}")
        # An empty `replace` deletes the text: a dropped line.
        missing = [k for k in ("id", "file", "find", "what") if not entry.get(k)]
        if "replace" not in entry:
            missing.append("replace")
        if missing:
            problems.append(f"{label}: lacks {', '.join(missing)}")
            continue
        fault = Fault(**{k: entry[k] for k in ("id", "file", "find", "replace", "what")})
        if fault.id in seen:
            problems.append(f"{fault.id}: the id is used twice")
            continue
        seen.add(fault.id)
        source = root / fault.file
        if not source.is_file():
            problems.append(f"{fault.id}: no such file {fault.file}")
            continue
        count = source.read_text(encoding="utf-8").count(fault.find)
        if count != 1:
            where = "does not occur" if count == 0 else f"occurs {count} times"
            problems.append(f"{fault.id}: its find text {where} in {fault.file}")
            continue
        if fault.find == fault.replace:
            problems.append(f"{fault.id}: find and replace are the same text")
            continue
        if fault.subsystem not in SUBSYSTEMS:
            problems.append(f"{fault.id}: {fault.file} is in no known subsystem")
            continue
        faults.append(fault)
    return faults, problems


# -- keeping the tree clean --------------------------------------------------------------


class Interrupted(Exception):
    """SIGTERM or SIGHUP: unwinds like Ctrl-C, so every `finally` restores."""


def _on_signal(signum: int, _frame: object) -> None:
    raise Interrupted(signal.Signals(signum).name)


def _digest(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


class Applied:
    """A fault in the tree for the length of a `with` block; the file is restored on exit.

    The original bytes are written to build/mutate/applied.json first, so a run killed
    before it could restore leaves enough behind for the next start to do it.
    """

    def __init__(self, fault: Fault) -> None:
        self.fault = fault
        self.path = ROOT / fault.file

    def __enter__(self) -> Applied:
        self.original = self.path.read_bytes()
        text = self.original.decode("utf-8")
        if text.count(self.fault.find) != 1:
            raise RuntimeError(f"{self.fault.id}: its find text no longer occurs exactly once")
        mutated = text.replace(self.fault.find, self.fault.replace).encode("utf-8")
        BUILD.mkdir(parents=True, exist_ok=True)
        MARKER.write_text(
            json.dumps(
                {
                    "id": self.fault.id,
                    "file": self.fault.file,
                    "original": self.original.decode("utf-8"),
                    "mutated_sha256": _digest(mutated),
                }
            )
        )
        self.path.write_bytes(mutated)
        return self

    def __exit__(self, *_exc: object) -> None:
        # A second Ctrl-C (or a SIGTERM) while restoring must not leave the fault behind.
        held = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
        previous = [signal.signal(s, signal.SIG_IGN) for s in held]
        try:
            self.path.write_bytes(self.original)
            if self.path.read_bytes() != self.original:
                raise RuntimeError(f"could not restore {self.fault.file}")
            MARKER.unlink(missing_ok=True)
        finally:
            for s, handler in zip(held, previous, strict=True):
                signal.signal(s, handler)


def recover_from_killed_run() -> None:
    """Restores a file that a killed run left mutated (and only if it is still as left)."""
    if not MARKER.is_file():
        return
    record = json.loads(MARKER.read_text())
    path = ROOT / record["file"]
    current = path.read_bytes() if path.is_file() else b""
    if _digest(current) == record["mutated_sha256"]:
        path.write_bytes(record["original"].encode("utf-8"))
        print(f"restored {record['file']}: a killed run had left fault {record['id']} in it")
    elif current != record["original"].encode("utf-8"):
        sys.exit(
            f"{MARKER} says fault {record['id']} was applied to {record['file']}, but the file "
            "has changed since; check it by hand, then delete the marker"
        )
    MARKER.unlink()


# -- building and running ----------------------------------------------------------------


@dataclass
class Run:
    returncode: int | None  # None: killed at the timeout
    output: str
    seconds: float


def run(command: list[str], timeout: float | None = None, env: dict[str, str] | None = None) -> Run:
    """Runs `command` in its own process group, killed whole at the timeout or on Ctrl-C."""
    start = time.monotonic()
    child = subprocess.Popen(
        command,
        cwd=ROOT,
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        stdin=subprocess.DEVNULL,
        start_new_session=True,
    )
    try:
        out, _ = child.communicate(timeout=timeout)
        code: int | None = child.returncode
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        out, _ = child.communicate()
        code = None
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
    return Run(code, out.decode("utf-8", errors="replace"), time.monotonic() - start)


def tool_env() -> dict[str, str]:
    env = dict(os.environ)
    env["PATH"] = f"{VENV_BIN}{os.pathsep}{env.get('PATH', '')}"
    return env


def test_env() -> dict[str, str]:
    # Children the tests start (examples, spawned pools, Dask workers) inherit the path too.
    env = tool_env()
    path = [str(SITE), str(ROOT / "python")]
    if env.get("PYTHONPATH"):
        path.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(path)
    env["HYPOTHESIS_STORAGE_DIRECTORY"] = str(HYPOTHESIS)
    env.pop("PYTHONHOME", None)
    return env


def configure() -> None:
    if (BUILD / "build.ninja").is_file():
        return
    print("configuring build/mutate (Release, module and C++ tests) ...", flush=True)
    done = run(
        [
            "cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release", "-DKELVARA_BUILD_MODULE=ON", "-DKELVARA_BUILD_TESTS=ON",
            f"-DPython_EXECUTABLE={PYTHON}",
        ],
        env=tool_env(),
    )  # fmt: skip
    if done.returncode != 0:
        sys.exit(f"cmake could not configure build/mutate:\n{done.output[-4000:]}")


def build(targets: list[str], jobs: int) -> Run:
    command = ["cmake", "--build", str(BUILD), "-j", str(jobs), "--target", *targets]
    return run(command, env=tool_env())


def link_site() -> None:
    """build/mutate/site holds only the module, so nothing else in the build tree imports."""
    modules = sorted(BUILD.glob("kelvara.cpython-*.so")) or sorted(BUILD.glob("kelvara*.so"))
    if not modules:
        sys.exit("the build produced no kelvara*.so in build/mutate")
    shutil.rmtree(SITE, ignore_errors=True)
    SITE.mkdir()
    (SITE / modules[0].name).symlink_to(modules[0])


_CTEST_FAILED = re.compile(r"^\s*\d+ - (\S+) \(([^)]*)\)", re.MULTILINE)
_PYTEST_FAILED = re.compile(r"^(?:FAILED|ERROR) (.+?)(?: - .*)?$", re.MULTILINE)
_FAULTHANDLER_FRAME = re.compile(r'File "([^"]*/tests/[^"]+\.py)", line \d+ in (\w+)')


def run_ctest(timeout: float) -> tuple[bool, str, Run]:
    """(passed, first failing test, the run)."""
    done = run(
        ["ctest", "--test-dir", str(BUILD), "--stop-on-failure", "--output-on-failure",
         "--timeout", str(int(timeout))],
        timeout=timeout,
        env=tool_env(),
    )  # fmt: skip
    if done.returncode is None:
        return False, "timeout", done
    if done.returncode == 0:
        return True, "", done
    found = _CTEST_FAILED.findall(done.output.split("The following tests FAILED:")[-1])
    first = f"{found[0][0]} ({found[0][1]})" if found else f"ctest exit {done.returncode}"
    return False, first, done


def run_pytest(args: list[str], timeout: float) -> tuple[bool, str, Run]:
    # The property tests draw the same examples in every run, and no example database
    # carries one fault's failing inputs into the next run: outcomes do not depend on history.
    shutil.rmtree(HYPOTHESIS, ignore_errors=True)
    command = [str(PYTHON), "-m", "pytest", "-x", "-q", "-rfE", "-p", "no:cacheprovider",
               "--hypothesis-seed=0", *args]  # fmt: skip
    done = run(command, timeout=timeout, env=test_env())
    if done.returncode is None:
        return False, "timeout", done
    if done.returncode == 0:
        return True, "", done
    found = _PYTEST_FAILED.findall(done.output)
    if found:
        return False, found[0], done
    if done.returncode < 0 or done.returncode > 5:
        # The interpreter died; faulthandler's dump of the crashing thread (most recent call
        # first) names the test it was in, its outermost frame under tests/.
        dump = done.output.rsplit("Current thread", 1)[-1]
        frames = _FAULTHANDLER_FRAME.findall(dump)
        where = f"tests/{frames[-1][0].split('/tests/', 1)[-1]}::{frames[-1][1]}" if frames else "?"
        return False, f"crash (status {done.returncode}) in {where}", done
    return False, f"pytest exit {done.returncode}", done


# -- the run -------------------------------------------------------------------------------


@dataclass
class Outcome:
    id: str
    subsystem: str
    file: str
    what: str
    result: str = "missed"  # caught, missed, build-failed
    ctest: str | None = None  # None: not run; "": passed; else the first failing test
    pytest: str | None = None
    build_error: str = ""
    seconds: float = 0.0
    build_seconds: float = 0.0

    @property
    def caught_by(self) -> str:
        layers = (("ctest", self.ctest), ("pytest", self.pytest))
        return "+".join(n + (" (timeout)" if v == "timeout" else "") for n, v in layers if v)

    def row(self) -> dict[str, object]:
        return {
            "id": self.id,
            "subsystem": self.subsystem,
            "file": self.file,
            "what": self.what,
            "result": self.result,
            "caught_by": self.caught_by,
            "ctest": self.ctest,
            "pytest": self.pytest,
            "build_error": self.build_error,
        }


def targets_for(faults: list[Fault]) -> list[str]:
    modules = ["kelvara", "kelvara_engine"]
    return [*modules, "kelvara_core_tests"] if any(f.is_core for f in faults) else modules


def baseline(faults: list[Fault], pytest_args: list[str], jobs: int) -> float:
    """Builds the unmutated tree and runs the chosen tests; the seconds they took."""
    configure()
    print("building the unmutated tree ...", flush=True)
    done = build(targets_for(faults), jobs)
    if done.returncode != 0:
        sys.exit(f"the unmutated tree does not build:\n{done.output[-4000:]}")
    link_site()
    where = run(
        [str(PYTHON), "-c", "import kelvara, kelvara_lab._engine as e; print(kelvara.__file__); "
         "print(e.__file__)"],
        env=test_env(),
    )  # fmt: skip
    expected = (str(SITE), str(ROOT / "python" / "kelvara_lab"))
    if where.returncode != 0 or not all(e in where.output for e in expected):
        sys.exit(f"the tests would not import the modules under test:\n{where.output}")
    seconds = 0.0
    if any(f.is_core for f in faults):
        ok, first, done = run_ctest(timeout=3600)
        if not ok:
            sys.exit(f"the unmutated tree fails ctest ({first}); fix that first\n"
                     f"{done.output[-4000:]}")  # fmt: skip
        print(f"  ctest passes ({done.seconds:.0f} s)")
        seconds += done.seconds
    ok, first, done = run_pytest(pytest_args, timeout=7200)
    if not ok:
        sys.exit(f"the unmutated tree fails pytest ({first}); fix that first\n"
                 f"{done.output[-4000:]}")  # fmt: skip
    print(f"  pytest passes ({done.seconds:.0f} s): {done.output.strip().splitlines()[-1]}")
    return seconds + done.seconds


def try_fault(
    fault: Fault,
    pytest_args: list[str],
    targets: list[str],
    jobs: int,
    timeout: float,
    every_layer: bool,
) -> Outcome:
    """Applies, builds, tests, restores. Both layers run unless `every_layer` is off, so
    that a fault only one of them catches shows which."""
    start = time.monotonic()
    out = Outcome(fault.id, fault.subsystem, fault.file, fault.what)
    with Applied(fault):
        # Built for every fault, a companion one too: the previous fault's file was restored
        # after its build, and the module must be the clean tree's again (a no-op otherwise).
        done = build(targets, jobs)
        out.build_seconds = done.seconds
        if done.returncode != 0:
            if fault.is_cpp:
                errors = [line for line in done.output.splitlines() if "error" in line]
                out.result, out.build_error = "build-failed", (errors or ["?"])[0][:300]
                out.seconds = time.monotonic() - start
                return out
            raise RuntimeError(f"the tree does not build without a C++ fault:\n{done.output}")
        if fault.is_core:
            _, out.ctest, _ = run_ctest(timeout)
        if every_layer or not out.ctest:
            _, out.pytest, _ = run_pytest(pytest_args, timeout)
    out.result = "caught" if out.ctest or out.pytest else "missed"
    out.seconds = time.monotonic() - start
    return out


def _cell(value: str | None, width: int = 58) -> str:
    text = "n/a" if value is None else (value or "pass")
    return text if len(text) <= width else text[: width - 3] + "..."


def print_table(outcomes: list[Outcome]) -> None:
    header = ("id", "subsystem", "result", "ctest: first failure", "pytest: first failure", "s")
    rows = [
        (o.id, o.subsystem, o.result, _cell(o.ctest),
         _cell(o.build_error if o.result == "build-failed" else o.pytest), f"{o.seconds:.0f}")
        for o in outcomes
    ]  # fmt: skip
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    for r in [header, *rows]:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths, strict=True)).rstrip())
    caught = sum(o.result == "caught" for o in outcomes)
    missed = [o.id for o in outcomes if o.result == "missed"]
    broken = [o.id for o in outcomes if o.result == "build-failed"]
    print(f"\n{caught} of {len(outcomes)} caught; missed: {', '.join(missed) or 'none'}")
    if broken:
        print(f"did not build (fix the list): {', '.join(broken)}")


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    pytest_args: list[str] = []
    if "--" in argv:
        at = argv.index("--")
        argv, pytest_args = argv[:at], argv[at + 1 :]
    parser = argparse.ArgumentParser(
        description="Apply faults one at a time and report which ones the suite catches.",
        epilog="Arguments after -- go to pytest (default: the whole suite).",
    )
    parser.add_argument("ids", nargs="*", help="faults to try (default: all)")
    parser.add_argument("--list", type=Path, default=FAULTS, help="the fault list (TOML)")
    parser.add_argument("--json", type=Path, help="also write the results to this file")
    parser.add_argument("--check", action="store_true", help="only validate the list")
    parser.add_argument("--jobs", type=int, default=2, help="build jobs (default 2)")
    parser.add_argument(
        "--timeout", type=float, help="seconds per suite run before a fault counts as caught "
        "(a hang; default: three times the unmutated run, at least 120)"
    )  # fmt: skip
    parser.add_argument(
        "--first-layer", action="store_true",
        help="skip pytest for a core fault that CTest caught (faster; the table then cannot "
        "tell whether pytest catches it too)",
    )  # fmt: skip
    args = parser.parse_args(argv)

    # First of all: the list is checked against sources a killed run may have left mutated.
    recover_from_killed_run()
    faults, problems = load_faults(args.list)
    for problem in problems:
        print(f"refused: {problem}", file=sys.stderr)
    if args.check:
        print(f"{len(faults)} faults usable, {len(problems)} refused")
        return 1 if problems else 0
    if args.ids:
        by_id = {f.id: f for f in faults}
        unknown = [i for i in args.ids if i not in by_id]
        if unknown:
            print(f"unknown or refused fault(s): {', '.join(unknown)}", file=sys.stderr)
            return 2
        faults = [by_id[i] for i in args.ids]
    if not faults:
        print("no faults to try", file=sys.stderr)
        return 2
    if not PYTHON.is_file() or not shutil.which("cmake", path=f"{VENV_BIN}:{os.environ['PATH']}"):
        print("run scripts/setup.sh first (needs .venv with cmake and ninja)", file=sys.stderr)
        return 2

    signal.signal(signal.SIGTERM, _on_signal)
    signal.signal(signal.SIGHUP, _on_signal)
    print(f"pytest: -x -q --hypothesis-seed=0 {' '.join(pytest_args) or '(whole suite)'}, "
          "no example database; the fuzzers are not run")  # fmt: skip
    outcomes: list[Outcome] = []
    try:
        seconds = baseline(faults, pytest_args, args.jobs)
        timeout = args.timeout or max(120.0, 3 * seconds)
        print(f"{len(faults)} fault(s), timeout {timeout:.0f} s per suite run\n", flush=True)
        targets = targets_for(faults)
        for fault in faults:
            print(f"{fault.id}: {fault.what} ... ", end="", flush=True)
            outcome = try_fault(
                fault, pytest_args, targets, args.jobs, timeout, not args.first_layer
            )
            outcomes.append(outcome)
            by = f" by {outcome.caught_by}" if outcome.caught_by else ""
            print(f"{outcome.result}{by} ({outcome.seconds:.0f} s)", flush=True)
        # The last fault's objects are still in build/mutate; leave it matching the tree.
        build(targets, args.jobs)
    except (KeyboardInterrupt, Interrupted):
        print("\ninterrupted; the tree is restored; results so far:")
        status = 130
    else:
        status = 0
    print()
    print_table(outcomes)
    if args.json:
        # Timings apart from the results, one line each, so that a diff of two runs shows
        # the faults whose outcome changed without every row differing in its seconds.
        seconds = {o.id: [round(o.seconds, 1), round(o.build_seconds, 1)] for o in outcomes}
        text = json.dumps(
            {"pytest_args": pytest_args, "faults": [o.row() for o in outcomes],
             "seconds_total_and_build": {}},
            indent=1,
        )  # fmt: skip
        lines = ",\n".join(f"  {json.dumps(k)}: {json.dumps(v)}" for k, v in seconds.items())
        args.json.write_text(text[: -len("{}\n}")] + "{\n" + lines + "\n }\n}\n")
    return status


if __name__ == "__main__":
    sys.exit(main())
