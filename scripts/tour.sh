#!/usr/bin/env bash
# Installs the package from this tree and runs the tour of the module: into the
# active virtual environment if there is one, otherwise into the project's own
# (.venv, made from python3 on first use).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
source scripts/python-env.sh
if [[ -n ${VIRTUAL_ENV:-} ]]; then
    py=$VIRTUAL_ENV/bin/python
else
    py=$(make_venv .venv)
fi
"$py" -m pip install --quiet .
"$py" examples/tour.py
