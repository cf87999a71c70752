#!/usr/bin/env bash
# Builds the module for PyPy 3.11 and runs the Python tests under it, each
# test in a worker process: a test that takes the interpreter down is
# reported as that test's failure, and the run goes on and then fails.
# Usage: bash tests/pypy/run_tests.sh  (called by tests/run_all.sh)
set -euo pipefail
cd "$(dirname "$0")/../.."
WERROR=${TARVEK_WERROR:-OFF}
VENV=${TARVEK_PYPY_VENV:-build/pypy-venv}

pypy=$(bash tests/pypy/get_pypy.sh | tail -n 1)
if ! "$VENV/bin/python" -c 'import pip' >/dev/null 2>&1; then
  # Debian's PyPy has no ensurepip without pypy3-venv; pip runs from its wheel.
  echo "== making a PyPy virtual environment in $VENV, with pip from Debian's wheel"
  rm -rf "$VENV"
  "$pypy" -m venv --without-pip "$VENV"
  wheel=$(ls "$("$pypy" -c 'import sys; print(sys.base_prefix)')"/share/python-wheels/pip-*.whl | tail -n 1)
  "$VENV/bin/python" "$wheel/pip" install -q "$wheel"
fi
echo "== installing this package with its test extras (pip install '.[test]') into $VENV," \
  "$("$VENV/bin/python" -c 'import sys; print(sys.version.replace(chr(10), " "))')"
"$VENV/bin/python" -m pip install -q ".[test]" -Ccmake.define.TARVEK_WERROR="$WERROR"

echo "== Python tests under PyPy"
# Run from outside the checkout so that the installed package is tested.
"$VENV/bin/python" -m pytest -c "$PWD/pyproject.toml" --rootdir "$PWD" -p xdist -n 2 \
  --max-worker-restart=1000 "$PWD/tests/python"
