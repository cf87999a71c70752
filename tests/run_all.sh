#!/usr/bin/env bash
# Runs every test: sets up what is missing (saying what it installs), installs
# the package with its test extras, checks the Python code with ruff and
# mypy --strict (on CPython), then the native suite, the native suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer, a short fuzzing
# run, the Python suite, and the Python suite again under PyPy 3.11
# (tests/pypy/run_tests.sh).
# Usage: bash tests/run_all.sh  (FUZZ_SECONDS=0 skips the fuzzing, TARVEK_PYPY=0
# the PyPy stage).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-2}
WERROR=${TARVEK_WERROR:-OFF}

# The major version of the clang that is installed, or else of the one that
# Debian's clang package would install (14 on Debian 12, 19 on Debian 13): its
# sanitizer and fuzzer runtime is the package libclang-rt-<version>-dev.
clang_version() {
  if command -v clang++ >/dev/null 2>&1; then
    clang++ --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1
  else
    apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1
  fi
}
apt_updated=
apt_update() {
  [ -n "$apt_updated" ] || apt-get update -qq
  apt_updated=1
}

need_packages=()
dpkg -s libgtest-dev >/dev/null 2>&1 || need_packages+=(libgtest-dev)
command -v clang++ >/dev/null 2>&1 || need_packages+=(clang)
clang_major=$(clang_version)
if [ -z "$clang_major" ] && [ "$(id -u)" = 0 ]; then
  apt_update
  clang_major=$(clang_version)
fi
if [ -n "$clang_major" ]; then
  dpkg -s "libclang-rt-$clang_major-dev" >/dev/null 2>&1 ||
    need_packages+=("libclang-rt-$clang_major-dev")
fi
if ((${#need_packages[@]})); then
  if [ "$(id -u)" = 0 ]; then
    echo "== installing Debian packages: ${need_packages[*]}"
    apt_update
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_packages[@]}" >/dev/null
  else
    echo "missing Debian packages (install them as root): ${need_packages[*]}" >&2
  fi
fi

echo "== installing this package with its test and Dask extras (pip install '.[test,dask]') into $("$PYTHON" -c 'import sys; print(sys.prefix)')"
"$PYTHON" -m pip install -q ".[test,dask]" -Ccmake.define.TARVEK_WERROR="$WERROR"

if "$PYTHON" -c 'import sys; sys.exit(sys.implementation.name != "cpython")'; then
  echo "== ruff and mypy --strict (settings in pyproject.toml)"
  "$PYTHON" -m ruff check .
  "$PYTHON" -m mypy
fi

echo "== native tests"
cmake -S . -B build/native -DTARVEK_BUILD_TESTS=ON -DTARVEK_BUILD_MODULE=OFF \
  -DTARVEK_WERROR="$WERROR" >/dev/null
cmake --build build/native -j"$JOBS"
ctest --test-dir build/native --output-on-failure

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/native-asan -DTARVEK_BUILD_TESTS=ON -DTARVEK_BUILD_MODULE=OFF \
  -DTARVEK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEK_WERROR="$WERROR" >/dev/null
cmake --build build/native-asan -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/native-asan --output-on-failure

if [ "${FUZZ_SECONDS:-60}" != 0 ] && [ -f fuzz/run.sh ] && command -v clang++ >/dev/null 2>&1; then
  echo "== fuzzing for ${FUZZ_SECONDS:-60} s"
  bash fuzz/run.sh "${FUZZ_SECONDS:-60}"
fi

echo "== Python tests"
# Run from outside the checkout so that the installed package is tested.
"$PYTHON" -m pytest -c "$PWD/pyproject.toml" --rootdir "$PWD" "$PWD/tests/python"

if [ "${TARVEK_PYPY:-1}" != 0 ]; then
  bash tests/pypy/run_tests.sh
fi
