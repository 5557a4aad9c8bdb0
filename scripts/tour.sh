#!/usr/bin/env bash
# Installs the package from this tree and runs the tour of the module.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet .
python3 examples/tour.py
