#!/usr/bin/env bash
# Installs the package from this tree and runs the tour of the module: into the
# active virtual environment if there is one, otherwise into the project's own
# (.venv, made from python3 on first use).
#
# A second run is quick. When that environment already holds the build of this
# very tree (same sources, compiler and interpreter, and the installed module
# untouched since), nothing is built or installed. Otherwise the wheel is built
# by a build environment of its own (build/tour-build-venv) without pip's
# per-build isolation: a fresh isolated environment each time makes the build
# backend discard its CMake cache and recompile everything, where a stable one
# keeps build/tour and recompiles only what changed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
source scripts/python-env.sh
if [[ -n ${VIRTUAL_ENV:-} ]]; then
    py=$VIRTUAL_ENV/bin/python
else
    py=$(make_venv .venv)
fi
env_dir=$("$py" -c 'import sys; print(sys.prefix)')
stamp_file=$env_dir/.tessarin_hdc-build-stamp
wanted=$(package_fingerprint "$py")
stamp() { printf '%s %s\n' "$wanted" "$(installed_module_stamp "$py")"; }

if [[ -f $stamp_file && $(<"$stamp_file") == "$(stamp)" ]]; then
    echo "tessarin_hdc in $env_dir is the build of this tree; not rebuilt"
else
    rm -f "$stamp_file"
    use_build_tools
    builder=$(make_venv build/tour-build-venv)
    "$builder" -c 'import scikit_build_core' 2>/dev/null \
        || with_build_progress build/tour-build-venv.log "$builder" -m pip install -v "scikit-build-core>=0.10"
    echo "building tessarin_hdc from this tree (the first time the core, the engines and the module:"
    echo "minutes on 2 cores; later only what changed)"
    rm -rf build/tour-wheel
    with_build_progress build/tour-build.log "$builder" -m pip wheel -v --no-build-isolation --no-deps \
        --wheel-dir build/tour-wheel --config-settings=build-dir=build/tour .
    echo "installing it into $env_dir"
    "$py" -m pip install --quiet --no-deps --force-reinstall build/tour-wheel/tessarin_hdc-*.whl
    stamp >"$stamp_file"
fi
"$py" examples/tour.py
