"""``kelvara-lab inspect``: what a file holds and what its data checks found."""

from __future__ import annotations

from pathlib import Path

import click

from kelvara_lab.cli.options import files_argument, read_or_report


@click.command("inspect")
@files_argument
def command(files: tuple[Path, ...]) -> None:
    """Format, spectra, points, frequency range and data-check findings of each FILE.

    Exits with status 1 when a file cannot be read or a check reports an error.
    """
    import numpy as np

    from kelvara_lab.io.columns import FREQUENCY

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
