"""The ``kelvara-lab`` command line: one module per command, the options they share in
``options``, the group in ``main``."""

from kelvara_lab.cli.main import main

__all__ = ["main"]
