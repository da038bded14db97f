# Sourced by scripts/test and scripts/run: finds a CPython 3.13, makes .venv,
# installs the build dependencies, then builds the module and installs it
# with the training package and the extras that the tests need (PettingZoo,
# rendering, Ray). Leaves PY set to the venv's interpreter.

find_python313() {
    if python3.13 -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1; then
        command -v python3.13
        return
    fi
    # pyenv installs versions that its shims only run when selected.
    local root candidate
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for candidate in "$root"/versions/3.13*/bin/python3.13; do
        if [ -x "$candidate" ]; then
            echo "$candidate"
            return
        fi
    done
    echo "no CPython 3.13 found (on PATH or under pyenv)" >&2
    return 1
}

set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
if [ ! -x .venv/bin/python ]; then
    "$(find_python313)" -m venv .venv
fi
PY="$ROOT/.venv/bin/python"
export PATH="$ROOT/.venv/bin:$PATH"
# Our build is not isolated, so whatever builds from source here uses these:
# setuptools and Cython are for dependencies with no wheel for this Python
# (SuperSuit's tinyscaler), which a machine without a pip cache builds itself.
"$PY" -m pip install -q --disable-pip-version-check \
    "scikit-build-core>=0.10" "numpy>=2.0" "nlohmann-json>=3.11" cmake ninja setuptools Cython
ZORBIC_WERROR=${ZORBIC_WERROR:-ON} "$PY" -m pip install -q --disable-pip-version-check \
    --no-build-isolation ".[${ZORBIC_EXTRAS:-test,pettingzoo,render,ray,play}]"
