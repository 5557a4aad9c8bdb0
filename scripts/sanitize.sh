#!/usr/bin/env bash
# The same tests, C++ and Python, with AddressSanitizer and
# UndefinedBehaviorSanitizer compiled into the core, the engines and the
# module. The interpreter itself is not instrumented, so the sanitizer
# runtimes are preloaded into it; leak checking is off because the
# interpreter keeps memory alive on purpose at exit.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
python3 -m pip install --quiet pytest hypothesis

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build/sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARIN_SANITIZE=ON \
    -DTESSARIN_BUILD_PYTHON=ON -DTESSARIN_BUILD_TESTS=ON -DTESSARIN_WERROR=ON \
    -DPython_EXECUTABLE="$(command -v python3)"
cmake --build build/sanitize -j "$jobs"

export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build/sanitize --output-on-failure --no-tests=error -j "$jobs"

preload="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
TESSARIN_SANITIZED=1 PYTHONPATH="$PWD/build/sanitize" PYTHONMALLOC=malloc LD_PRELOAD="$preload" \
    python3 -m pytest -q -p no:cacheprovider tests/python "$@"
