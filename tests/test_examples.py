"""Every example runs, with the module under test, and prints what it promises."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import kelvara

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"


def run(*args: str | Path, cwd: Path = ROOT) -> str:
    """Run a script in a fresh interpreter that imports this kelvara; its stdout."""
    env = dict(os.environ, PYTHONPATH=str(Path(kelvara.__file__).parent), MPLBACKEND="Agg")
    done = subprocess.run(
        [sys.executable, *map(str, args)],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, (
        f"exit {done.returncode}\nstdout:\n{done.stdout}\nstderr:\n{done.stderr}"
    )
    assert "Traceback" not in done.stderr, done.stderr
    return done.stdout


# Each example with lines its output must hold: the fits it shows must land.
EXPECTED = {
    "quickstart": ["success: True", "R0.r        = 0.02 ohm", "CPE1.alpha  = 0.85 -"],
    "dataframes": [
        "pandas: R0.r=0.02, R1.r=0.05, CPE1.q=0.5, CPE1.alpha=0.85",
        "polars: R0.r=0.02, R1.r=0.05, CPE1.q=0.5, CPE1.alpha=0.85",
        "polar columns: True",
        "frequency column: (51,)",
    ],
    "many_spectra": ["200 fits in", "all converged: True", "R2 grew from 0.0300 to 0.0900 ohm"],
    "scipy_optimiser": ["R1.r        = 0.025 ", "W1.aw       = 0.004 ", "CPE1.alpha  = 0.85 "],
    "compare_methods": [
        "levenberg_marquardt        8.452e-05",
        "nelder_mead                8.452e-05",
        "particle_swarm",
        "differential_evolution",
        "simulated_annealing",
        "basin_hopping",
    ],
    "custom_weights": ["guess: {'R0.r': ", "reordered: [", "fit from it: success=True"],
    "reference_circuit": ["Circuit (5 parameters)", "W1.aw      = 0.004"],
    "cycling_study": ["300 spectra fitted, 300 successful", "R1: 8.09 mOhm at cycle 0"],
}


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_example_runs_and_prints(name):
    out = run(EXAMPLES / f"{name}.py")
    missing = [line for line in EXPECTED[name] if line not in out]
    assert not missing, f"missing {missing} in:\n{out}"


def test_every_example_is_run_here():
    scripts = {p.stem for p in EXAMPLES.glob("*.py")}
    assert scripts == set(EXPECTED) | {"battery_fit"}


def test_battery_fit_recovers_the_cell_and_writes_its_plot_into_build(tmp_path):
    picture = ROOT / "build" / "battery_fit.png"
    picture.unlink(missing_ok=True)
    out = run(EXAMPLES / "battery_fit.py", cwd=tmp_path)
    assert list(tmp_path.iterdir()) == []  # nothing lands in the folder it ran from
    assert "success: True" in out
    rows = {line.split()[0]: line.split() for line in out.splitlines() if "." in line.split(" ")[0]}
    # The values the data were made from, and how far noise lets a fit stray.
    truth = {"R0.r": 0.021, "R1.r": 0.008, "R2.r": 0.019, "CPE1.alpha": 0.85, "CPE2.alpha": 0.78}
    for name, value in truth.items():
        fitted, error = float(rows[name][1]), float(rows[name][2])
        assert abs(fitted - value) < 4 * error, f"{name}: {fitted} +- {error}, made with {value}"
    assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_bundled_spectrum_is_what_its_script_writes(tmp_path):
    out = tmp_path / "spectrum.csv"
    run(EXAMPLES / "data" / "make_battery_spectrum.py", out)
    made = np.loadtxt(out, delimiter=",", skiprows=1)
    bundled = np.loadtxt(EXAMPLES / "data" / "battery_spectrum.csv", delimiter=",", skiprows=1)
    np.testing.assert_allclose(made, bundled, rtol=1e-8, atol=0)
    assert out.read_text().splitlines()[0] == (
        "Frequency / Hz,Real Impedance / ohm,Imaginary Impedance / ohm"
    )
