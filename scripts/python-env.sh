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
