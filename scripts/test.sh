#!/usr/bin/env bash
# Builds and runs every test: the package is installed from this tree (warnings
# as errors), the GoogleTest suites run under CTest, then pytest runs against
# the installed module.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
python3 -m pip install --quiet --upgrade pip >/dev/null 2>&1 || true
python3 -m pip install --quiet -Ccmake.define.TESSARIN_WERROR=ON ".[test]"

cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTESSARIN_BUILD_PYTHON=OFF -DTESSARIN_BUILD_TESTS=ON -DTESSARIN_BUILD_BENCHMARKS=ON -DTESSARIN_WERROR=ON
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure --no-tests=error -j "$jobs"

# Run from the tests folder so that the installed module, not the source tree, is imported.
python3 -m pytest -q tests/python "$@"
