"""The ``kelvara-lab`` command line.

``main`` is a click group; other modules attach their commands with ``main.add_command``.
The fitting commands live in ``kelvara_lab.cli_fit``, imported at the bottom when present;
it may call ``main.add_command`` on import or define ``register(group)``.
"""

from __future__ import annotations

import importlib
from pathlib import Path

import click
import numpy as np
import pandas as pd

from kelvara_lab.columns import FREQUENCY
from kelvara_lab.io import ReadError, read, spectra
from kelvara_lab.kk import MAX_NOISE_PERCENT, MU_CRITERION, kk_test


@click.group()
@click.version_option(package_name="kelvara", prog_name="kelvara-lab")
def main() -> None:
    """Read, check and validate impedance spectra from instrument files."""


def read_or_report(path: Path) -> pd.DataFrame | None:
    """The file as a frame, or None after saying on stderr why it could not be read."""
    try:
        return read(path)
    except (OSError, ReadError) as error:
        click.echo(f"{path}: error: {error}", err=True)
        return None


@main.command()
@click.argument("files", nargs=-1, required=True, type=click.Path(path_type=Path))
def inspect(files: tuple[Path, ...]) -> None:
    """Format, spectra, points, frequency range and data-check findings of each FILE.

    Exits with status 1 when a file cannot be read or a check reports an error.
    """
    failed = False
    for path in files:
        frame = read_or_report(path)
        if frame is None:
            failed = True
            continue
        f = frame[FREQUENCY].to_numpy(dtype=float)
        finite = f[np.isfinite(f)]
        click.echo(f"{path}")
        click.echo(f"  format   {frame.attrs['format']} (read by {frame.attrs['reader']})")
        click.echo(f"  spectra  {frame.attrs['spectra']}, {len(frame)} points")
        if finite.size:
            click.echo(f"  range    {finite.min():.4g} Hz to {finite.max():.4g} Hz")
        findings = frame.attrs["findings"]
        if not findings:
            click.echo("  checks   no findings")
        for item in findings:
            click.echo(f"  {item.severity:8s} {item.message}")
        failed |= any(item.severity == "error" for item in findings)
    if failed:
        raise SystemExit(1)


@main.command()
@click.argument("files", nargs=-1, required=True, type=click.Path(path_type=Path))
@click.option(
    "--plot",
    "plot_dir",
    type=click.Path(file_okay=False, path_type=Path),
    help="Write a residual plot per spectrum into this folder.",
)
@click.option(
    "--mu",
    "mu_criterion",
    default=MU_CRITERION,
    show_default=True,
    help="mu criterion for the number of RC elements.",
)
@click.option(
    "--max-noise",
    default=MAX_NOISE_PERCENT,
    show_default=True,
    help="Largest estimated noise (percent of |Z|) that passes.",
)
def validate(
    files: tuple[Path, ...], plot_dir: Path | None, mu_criterion: float, max_noise: float
) -> None:
    """Lin-KK test of every spectrum in each FILE, as a table.

    Exits with status 1 when a file cannot be read or a spectrum fails.
    """
    failed = False
    if plot_dir is not None:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        from kelvara_lab import plot

        plot_dir.mkdir(parents=True, exist_ok=True)
    width = max(8, *(len(p.name) for p in files))
    header = (
        f"{'file':{width}s} {'spectrum':>8s} {'points':>6s} {'M':>3s} {'mu':>6s} "
        f"{'chi2_ps':>9s} {'noise %':>8s}  result"
    )
    click.echo(header)
    for path in files:
        frame = read_or_report(path)
        if frame is None:
            failed = True
            continue
        for index, sub in spectra(frame):
            try:
                result = kk_test(sub, mu_criterion=mu_criterion, max_noise=max_noise)
            except ValueError as error:
                click.echo(f"{path.name:{width}s} {index:8d}  error: {error}")
                failed = True
                continue
            verdict = "pass" if result.passed else "FAIL"
            click.echo(
                f"{path.name:{width}s} {index:8d} {len(sub):6d} {result.num_rc:3d} "
                f"{result.mu:6.3f} {result.pseudo_chi_square:9.3g} "
                f"{result.noise:8.3g}  {verdict}"
            )
            failed |= not result.passed
            if plot_dir is not None:
                figure, ax = plt.subplots(figsize=(5.5, 4), layout="constrained")
                plot.residuals(result, ax=ax)
                figure.savefig(plot_dir / f"{path.stem}-{index}-kk.png", dpi=110)
                plt.close(figure)
    if failed:
        raise SystemExit(1)


def _attach_optional(name: str) -> None:
    try:
        module = importlib.import_module(name)
    except ModuleNotFoundError as error:
        if error.name != name:
            raise
        return
    register = getattr(module, "register", None)
    if callable(register):
        register(main)


_attach_optional("kelvara_lab.cli_fit")
_attach_optional("kelvara_lab.cli_drt")
