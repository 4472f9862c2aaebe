#!/usr/bin/env bash
# The main job: set everything up, then run the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
.venv/bin/python examples/reference_circuit.py
