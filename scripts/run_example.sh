#!/usr/bin/env bash
# The main job: set everything up, then fit the bundled battery spectrum
# (examples/data/battery_spectrum.csv) and plot data and fit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# pandas reads the spectrum and matplotlib draws it; the module needs neither.
.venv/bin/python -m pip install -q --group example
mkdir -p build
.venv/bin/python examples/battery_fit.py --plot build/battery_fit.png
