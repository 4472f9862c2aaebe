"""The ``kelvara-lab`` command line: the group, and one module per command registered here.

A command module imports only click when it loads and the libraries its work needs when it
runs, so that ``kelvara-lab --help`` answers at once.
"""

from __future__ import annotations

import io
import sys
from pathlib import Path
from typing import Any

import click

from kelvara_lab.cli import compare, drt, elements, fit, identify, inspect, plot, validate, zhit


class _Commands(click.Group):
    """A group whose commands report a user's error as one line and exit status 1."""

    def invoke(self, ctx: click.Context) -> Any:
        try:
            return super().invoke(ctx)
        except BrokenPipeError:
            raise  # click's own handling: the reader went away, nothing to say
        except UnicodeEncodeError as error:  # a name or text the terminal cannot show
            raise click.ClickException(
                f"cannot print {error.object[error.start : error.end]!r} in "
                f"{error.encoding}: set PYTHONIOENCODING=utf-8 or a UTF-8 locale"
            ) from error
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
@click.pass_context
def main(ctx: click.Context, inline: tuple[str, ...], files: tuple[Path, ...]) -> None:
    """Read, check, validate, fit and compare impedance spectra, and find their DRT.

    Every command that takes spectra takes the same selection options (--fmin, --fmax,
    --drop-inductive, --exclude, --spectrum) and output options (--out, --plots, --format),
    all checked before any work. Your own elements, defined with --element or --elements
    before the command, can be used in any circuit:
    kelvara-lab --element "G=R/sqrt(1+j*w*t)" fit data.csv -c "R0-G1".
    """
    if ctx.invoked_subcommand is not None and sys.stdout is None:
        # Started with standard output closed: every table would vanish unseen.
        raise click.ClickException("standard output is closed; nothing could be printed")
    for stream in (sys.stdout, sys.stderr):
        # A file name that is not valid UTF-8 reaches Python with its bytes kept as surrogates;
        # printed back the same way, it reads as the name the user typed.
        if isinstance(stream, io.TextIOWrapper) and stream.errors == "strict":
            stream.reconfigure(errors="surrogateescape")
    for path in files:
        elements.define_file(path)
    for text in inline:
        elements.define_inline(text)


for _module in (inspect, plot, validate, zhit, fit, compare, drt, identify):
    main.add_command(_module.command)
