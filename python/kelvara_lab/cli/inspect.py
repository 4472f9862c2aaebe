"""``kelvara-lab inspect``: what a file holds and what its data checks found."""

from __future__ import annotations

from pathlib import Path

import click

from kelvara_lab.cli.options import files_argument
from kelvara_lab.cli.outputs import wrap
from kelvara_lab.cli.selection import Selection, read_chosen, selection_options


@click.command("inspect")
@files_argument
@selection_options
def command(files: tuple[Path, ...], selection: Selection) -> None:
    """Format, spectra, points, frequency range and data-check findings of each FILE (of
    the points and spectra chosen, when selection options are given).

    Exits with status 1 when a file cannot be read or a check reports an error.
    """
    import numpy as np

    from kelvara_lab.io.columns import FREQUENCY
    from kelvara_lab.spectrum.checks import check

    chosen, failed = read_chosen(files, selection)
    for path in dict.fromkeys(item.path for item in chosen):
        parts = [item for item in chosen if item.path == path]
        attrs = parts[0].frame.attrs
        f = np.concatenate([item.frame[FREQUENCY].to_numpy(dtype=float) for item in parts])
        finite = f[np.isfinite(f)]
        click.echo(click.format_filename(path))
        click.echo(f"  format   {attrs['format']} (read by {attrs['reader']})")
        click.echo(f"  spectra  {len(parts)}, {f.size} points")
        if finite.size:
            click.echo(f"  range    {finite.min():.4g} Hz to {finite.max():.4g} Hz")
        for item in parts if selection.changes_points else ():
            for entry in item.frame.attrs.get("dropped", []):
                label = f"spectrum {item.index}: " if item.several else ""
                click.echo(f"  dropped  {label}{len(entry['rows'])} point(s), {entry['reason']}")
        # The whole file's findings, or each chosen spectrum's once points were left out.
        findings = (
            [found for item in parts for found in check(item.frame)]
            if selection != Selection()
            else list(attrs["findings"])
        )
        if not findings:
            click.echo("  checks   no findings")
        for found in findings:
            click.echo(wrap(f"  {found.severity:8s} {found.message}", indent=11))
        failed |= any(found.severity == "error" for found in findings)
    if failed:
        raise SystemExit(1)
