# Sourced by the scripts. The Python packages they need go into virtual
# environments made here from python3 (or $PYTHON), never into that interpreter
# itself: this works the same where the system Python is externally managed, and
# nothing in your own interpreter is installed or upgraded behind your back.

base_python() {
    command -v "${PYTHON:-python3}"
}

# make_venv DIR [--fresh]: prints the interpreter of the virtual environment at
# DIR, making it first when it is missing (or always, with --fresh).
make_venv() {
    local dir=$1
    if [[ ${2:-} == --fresh ]]; then
        rm -rf "$dir"
    fi
    if [[ ! -x $dir/bin/python ]]; then
        "$(base_python)" -m venv "$dir" >&2
    fi
    echo "$dir/bin/python"
}

# use_build_tools: CMake (3.26 or later) and Ninja on PATH; from PyPI into
# build/tools-venv when the machine has none.
use_build_tools() {
    local tools=()
    if ! command -v cmake >/dev/null || ! cmake --version | awk 'NR==1 { split($3, v, "."); exit !(v[1] > 3 || (v[1] == 3 && v[2] >= 26)) }'; then
        tools+=("cmake>=3.26")
    fi
    command -v ninja >/dev/null || tools+=(ninja)
    if ((${#tools[@]})); then
        local py
        py=$(make_venv build/tools-venv)
        "$py" -m pip install --quiet "${tools[@]}"
        PATH="$(dirname "$py"):$PATH"
        export PATH
    fi
}

# with_build_progress LOG COMMAND...: runs a verbose pip build or install
# (pip -v), keeping its whole output in LOG and showing only what is worth
# watching: each package pip collects and when it installs them, each file
# compiled and each target linked (ninja's "[n/N]" lines, shortened). When the command fails, the end of
# LOG follows.
with_build_progress() {
    local log=$1 status=0
    shift
    mkdir -p "$(dirname "$log")"
    "$@" 2>&1 | tee "$log" | sed -u -n -E \
        -e 's#^ *Collecting ([^ ]+).*#  collecting \1#p' \
        -e 's#^ *Installing collected packages: .*#  installing what was collected#p' \
        -e 's#^ *\[([0-9]+/[0-9]+)\] Building CXX object .*\.dir/(.+)\.o$#  [\1] compiling \2#p' \
        -e 's#^ *\[([0-9]+/[0-9]+)\] Linking CXX [a-z ]+ (.+)$#  [\1] linking \2#p' || status=$?
    if ((status)); then
        echo "failed ($status); the end of $log:" >&2
        tail -n 40 "$log" >&2
    fi
    return "$status"
}

# package_fingerprint PYTHON: one digest of what the package is built from (the
# sources, the stub, the build files) and of the compiler and interpreter that
# build it. Documentation, tests and examples do not enter it.
package_fingerprint() {
    {
        find src stubs cmake CMakeLists.txt pyproject.toml -type f -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
        "$1" -c 'import sys; print(sys.version)'
        c++ --version 2>/dev/null | head -n 1
    } | sha256sum | cut -d' ' -f1
}

# installed_module_stamp PYTHON: where tessarin_hdc is installed for PYTHON,
# with the size and modification time of the module file; empty when it is not.
installed_module_stamp() {
    "$1" -I -c 'import importlib.util, os
spec = importlib.util.find_spec("tessarin_hdc")
if spec and spec.origin:
    st = os.stat(spec.origin)
    print(spec.origin, st.st_size, st.st_mtime_ns)' 2>/dev/null || true
}
