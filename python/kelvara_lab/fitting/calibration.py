"""The verdict's thresholds, read once from ``calibration.toml`` beside this file (the one
place they are written, with a note of how they were chosen)."""

from __future__ import annotations

import tomllib
from dataclasses import dataclass
from functools import cache
from pathlib import Path

FILE = Path(__file__).with_name("calibration.toml")


@dataclass(frozen=True)
class Calibration:
    pass_ratio: float
    fail_ratio: float
    absolute_slack: float
    structured_correlation: float
    structured_sigmas: float
    floor_fail: float
    level_fail_without_floor: float
    band_share: float
    same_minimum: float
    agreeing_runs: int
    undetermined: float
    meaningless: float
    collapse_factor: float
    spare_frequencies: int


@cache
def calibration() -> Calibration:
    """The thresholds of ``calibration.toml``; a missing or unknown key is an error, so the file
    and this record cannot drift apart."""
    with FILE.open("rb") as stream:
        sections = tomllib.load(stream)
    values = {key: value for section in sections.values() for key, value in section.items()}
    return Calibration(**values)
