#!/usr/bin/env bash
# Builds the wheel for PyPy 3.11 from the sdist, installs it into a fresh PyPy
# virtual environment (tests/wheels/venv.sh) and runs the Python tests under
# it, each test in a worker process: a test that takes the interpreter down is
# reported as that test's failure, and the run goes on and then fails.
# Usage: bash tests/pypy/run_tests.sh  (called by tests/run_all.sh)
set -euo pipefail
cd "$(dirname "$0")/../.."
VENV=${TARVEK_PYPY_VENV:-build/pypy-venv}

pypy=$(bash tests/pypy/get_pypy.sh | tail -n 1)
bash tests/wheels/venv.sh "$pypy" "$VENV" test

echo "== Python tests under PyPy, against the installed wheel"
"$VENV/bin/python" -m pytest -c "$PWD/pyproject.toml" --rootdir "$PWD" -p xdist -n 2 \
  --max-worker-restart=1000 "$PWD/tests/python"
