#!/usr/bin/env bash
# Builds and runs every test: the GoogleTest suites under CTest, then the wheel
# check (scripts/wheel.sh), which builds the wheel once, installs it into a fresh
# virtual environment and runs the Python tests, the type checks and the
# documentation's examples against the installed package. Arguments are passed
# to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh --tests
source scripts/python-env.sh
use_build_tools

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/tests -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DTESSARIN_BUILD_PYTHON=OFF -DTESSARIN_BUILD_TESTS=ON -DTESSARIN_BUILD_BENCHMARKS=ON -DTESSARIN_WERROR=ON
cmake --build build/tests -j "$jobs"
ctest --test-dir build/tests --output-on-failure --no-tests=error -j "$jobs"

scripts/wheel.sh "$@"
