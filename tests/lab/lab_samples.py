"""Where the instrument samples are, for the lab tests."""

import os
from pathlib import Path

# The samples ship with the suite (tests/data); KELVARA_SAMPLES points elsewhere when set.
SAMPLES = Path(
    os.environ.get(
        "KELVARA_SAMPLES", Path(__file__).resolve().parent.parent / "data" / "instrument-samples"
    )
)


def sample(name: str) -> Path:
    """The path of a sample file; a missing file is a failure, never a skip."""
    path = SAMPLES / name
    if not path.is_file():
        raise FileNotFoundError(f"instrument sample {path} is missing")
    return path
