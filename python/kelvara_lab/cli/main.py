"""The ``kelvara-lab`` command line: the group, and one module per command registered here.

A command module imports only click when it loads and the libraries its work needs when it
runs, so that ``kelvara-lab --help`` answers at once.
"""

from __future__ import annotations

from typing import Any

import click

from kelvara_lab.cli import compare, drt, fit, identify, inspect, validate


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
def main() -> None:
    """Read, check, validate, fit and compare impedance spectra, and find their DRT."""


main.add_command(inspect.command)
main.add_command(validate.command)
main.add_command(fit.command)
main.add_command(compare.command)
main.add_command(drt.command)
main.add_command(identify.command)
