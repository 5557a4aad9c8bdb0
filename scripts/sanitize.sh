#!/usr/bin/env bash
# The same tests, C++ and Python, with AddressSanitizer and
# UndefinedBehaviorSanitizer compiled into the core, the engines and the
# module. The interpreter itself is not instrumented, so the sanitizer
# runtimes are preloaded into it; leak checking is off because the
# interpreter keeps memory alive on purpose at exit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh --tests
source scripts/python-env.sh
use_build_tools
# Only what these tests need (numpy for the buffer tables): the type checks and
# documentation examples run in scripts/wheel.sh, and skip here.
py=$(make_venv build/sanitize-venv)
"$py" -m pip install --quiet pytest hypothesis numpy

jobs=$(nproc 2>/dev/null || echo 2)
# The `sanitize` preset (build/sanitize) puts the instrumentation into the
# global compiler and linker flags.
cmake --preset sanitize -DPython_EXECUTABLE="$py"
cmake --build build/sanitize -j "$jobs"

export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/sanitize --output-on-failure --no-tests=error -j "$jobs"

preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
TESSARIN_SANITIZED=1 PYTHONPATH="$PWD/build/sanitize" PYTHONMALLOC=malloc LD_PRELOAD="$preload" \
    "$py" -m pytest -q -p no:cacheprovider tests/python "$@"
