"""Where the instrument samples are, for the lab tests."""

import os
from pathlib import Path

import pytest

# The samples sit in shared/ beside the repository (../shared from its root); the repo may
# be a worktree or a CI checkout anywhere, so look upwards from this file.
_HERE = Path(__file__).resolve()
_CANDIDATES = [Path(os.environ["KELVARA_SAMPLES"])] if "KELVARA_SAMPLES" in os.environ else []
_CANDIDATES += [p / "shared" / "instrument-samples" for p in _HERE.parents]
SAMPLES = next((p for p in _CANDIDATES if p.is_dir()), None)


def sample(name: str) -> Path:
    """A sample path for parametrised tests (skips when the folder is absent)."""
    if SAMPLES is None:
        pytest.skip("no instrument samples: ../shared/instrument-samples is absent")
    return SAMPLES / name
