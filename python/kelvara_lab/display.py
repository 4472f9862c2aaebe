"""How a record reaches its views without importing them.

Records (a fit report, a Lin-KK result, a DRT) are plain data; pictures and notebook tables
live in ``kelvara_lab.views``, which imports the records, never the reverse. A record's
``plot()`` or ``_repr_html_`` asks here; the views register themselves when their package is
imported, which the first request does.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable
from typing import Any

# Loaded on the first request, so that reading a record never waits for matplotlib.
_VIEWS_PACKAGE = "kelvara_lab.views"

_views: dict[tuple[type, str], Callable[..., Any]] = {}


def register(kind: type, aspect: str, view: Callable[..., Any]) -> None:
    """Make `view(record, ...)` the `aspect` ("html", "plot") of records of `kind`."""
    _views[(kind, aspect)] = view


def render(record: object, aspect: str, *args: Any, **kwargs: Any) -> Any:
    """The `aspect` view of `record`."""
    importlib.import_module(_VIEWS_PACKAGE)
    for kind in type(record).__mro__:
        view = _views.get((kind, aspect))
        if view is not None:
            return view(record, *args, **kwargs)
    raise TypeError(f"{type(record).__name__} has no {aspect} view")
