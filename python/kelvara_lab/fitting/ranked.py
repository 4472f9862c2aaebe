"""The table ``compare`` and ``identify`` return: a plain pandas frame that shows itself in a
notebook with every verdict in full and each report as its circuit."""

from __future__ import annotations

from typing import Any

import pandas as pd

from kelvara_lab import display


class RankedTable(pd.DataFrame):
    """Fits ranked best first. Any operation on it gives a plain ``DataFrame``."""

    @property
    def _constructor(self) -> Any:
        return pd.DataFrame

    def _repr_html_(self) -> str:
        return str(display.render(self, "html"))


def ranked(table: pd.DataFrame) -> RankedTable:
    """`table` as a `RankedTable`, its ``attrs`` kept."""
    out = RankedTable(table)
    out.attrs = dict(table.attrs)
    return out
