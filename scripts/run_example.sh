#!/usr/bin/env bash
# The main job: set everything up, then take the bundled battery spectrum
# (examples/data/battery_spectrum.csv) through the whole workflow on the
# command line: read and check it, test it with Lin-KK, fit the default
# circuit, print the report and draw the Nyquist/Bode picture with the fit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# kelvara_lab's dependencies (pandas, matplotlib, click, scipy...); the module needs none.
.venv/bin/python -m pip install -q --group lab
mkdir -p build
spectrum=examples/data/battery_spectrum.csv
.venv/bin/kelvara-lab inspect "$spectrum"
.venv/bin/kelvara-lab validate "$spectrum"
.venv/bin/kelvara-lab fit "$spectrum" --circuit two_rq_l --no-progress --plots build
