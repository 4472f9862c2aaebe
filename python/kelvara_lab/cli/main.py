"""The ``kelvara-lab`` command line: the group, and one module per command registered here.

A command module imports only click when it loads and the libraries its work needs when it
runs, so that ``kelvara-lab --help`` answers at once.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import click

from kelvara_lab.cli import compare, drt, elements, fit, identify, inspect, validate


class _Commands(click.Group):
    """A group whose commands report a user's error as one line and exit status 1."""

    def invoke(self, ctx: click.Context) -> Any:
        try:
            return super().invoke(ctx)
        except BrokenPipeError:
            raise  # click's own handling: the reader went away, nothing to say
        except (OSError, ValueError) as error:  # unreadable, unwritable or unusable input
            raise click.ClickException(str(error) or type(error).__name__) from error


@click.group(cls=_Commands)
@click.version_option(package_name="kelvara", prog_name="kelvara-lab")
@click.option(
    "--element",
    "inline",
    multiple=True,
    metavar="NAME=FORMULA",
    help="Define your own element (its parameters positive, open-ended); repeatable.",
)
@click.option(
    "--elements",
    "files",
    multiple=True,
    type=click.Path(exists=True, dir_okay=False, path_type=Path),
    help="Define your own elements from a TOML or JSON file (units, defaults, bounds).",
)
def main(inline: tuple[str, ...], files: tuple[Path, ...]) -> None:
    """Read, check, validate, fit and compare impedance spectra, and find their DRT.

    Your own elements, defined with --element or --elements before the command, can be used
    in any circuit: kelvara-lab --element "G=R/sqrt(1+j*w*t)" fit data.csv -c "R0-G1"."""
    for path in files:
        elements.define_file(path)
    for text in inline:
        elements.define_inline(text)


main.add_command(inspect.command)
main.add_command(validate.command)
main.add_command(fit.command)
main.add_command(compare.command)
main.add_command(drt.command)
main.add_command(identify.command)
