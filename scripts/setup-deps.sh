#!/usr/bin/env bash
# Installs what building and testing need, when it is missing: a C++20
# compiler, GoogleTest and Google Benchmark from Debian's packages, and the
# Python test requirements declared in pyproject.toml (installed with the
# package itself by the callers).
set -euo pipefail

have_cmake_package() {
    # Debian installs the CMake package files under the multiarch library dir.
    compgen -G "/usr/lib/*/cmake/$1/*Config.cmake" >/dev/null || compgen -G "/usr/lib/cmake/$1/*Config.cmake" >/dev/null
}

missing=()
command -v g++ >/dev/null || missing+=(g++)
have_cmake_package GTest || missing+=(libgtest-dev)
have_cmake_package benchmark || missing+=(libbenchmark-dev)
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "missing Debian packages: ${missing[*]} (run: sudo apt-get install ${missing[*]})" >&2
        exit 1
    fi
    echo "installing Debian packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# CMake and Ninja come from PyPI when the machine has none (or too old a CMake).
if ! command -v cmake >/dev/null || ! cmake --version | awk 'NR==1 { split($3, v, "."); exit !(v[1] > 3 || (v[1] == 3 && v[2] >= 26)) }'; then
    python3 -m pip install --quiet "cmake>=3.26"
fi
command -v ninja >/dev/null || python3 -m pip install --quiet ninja
