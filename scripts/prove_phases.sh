#!/usr/bin/env bash
# Compares the many-lane sine/cosine with this machine's C library for every
# float of magnitude below 120, on every SIMD target the processor supports,
# and prints the library version, the sinf/cosf build the loader selected, the
# counts and the time. Pass --all to compare every float, or
# --self-test-inputs to print the self-test table instead.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset dev >/dev/null
cmake --build --preset dev --target tessarin_core >&2
g++ -std=c++20 -O2 -ffp-contract=off -fno-fast-math -Wall -Wextra -Werror -Isrc \
    scripts/prove_phases.cpp build/dev/libtessarin_core.a -o build/dev/prove_phases
build/dev/prove_phases "$@"
