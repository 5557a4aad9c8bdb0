#!/usr/bin/env bash
# Installs from Debian's packages what building needs and the machine lacks: a
# C++20 compiler, the headers and venv support of the Python in use (python3,
# or $PYTHON), and with --tests GoogleTest and Google Benchmark. apt-get needs
# root; anyone else is told what to install. Python packages never go into that
# interpreter: the scripts install them into virtual environments of their own
# (scripts/python-env.sh).
set -euo pipefail

py=$(command -v "${PYTHON:-python3}") || { echo "Python 3.11 or later is required (python3 not found)" >&2; exit 1; }
if ! "$py" -c 'import sys; sys.exit(sys.version_info < (3, 11))'; then
    echo "Python 3.11 or later is required; $py is $("$py" -V 2>&1)" >&2
    exit 1
fi
ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

have_cmake_package() {
    # Debian installs the CMake package files under the multiarch library dir.
    compgen -G "/usr/lib/*/cmake/$1/*Config.cmake" >/dev/null || compgen -G "/usr/lib/cmake/$1/*Config.cmake" >/dev/null
}

missing=()
command -v g++ >/dev/null || missing+=(g++)
"$py" -c 'import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    || missing+=("python$ver-dev")
"$py" -c 'import ensurepip' 2>/dev/null || missing+=("python$ver-venv")
if [[ ${1:-} == --tests ]]; then
    have_cmake_package GTest || missing+=(libgtest-dev)
    have_cmake_package benchmark || missing+=(libbenchmark-dev)
fi
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "missing Debian packages: ${missing[*]} (run: sudo apt-get install ${missing[*]})" >&2
        exit 1
    fi
    echo "installing Debian packages: ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
