#!/usr/bin/env bash
# Runs every test: sets up what is missing (saying what it installs), makes
# the sdist, builds from it the wheel for CPython, repairs it into a manylinux
# wheel and installs it with the test extras into a fresh virtual environment
# (build/venv-cpython; tests/wheels/), checks the Python code with ruff and
# mypy --strict (on CPython), then runs the native suite, the native suite
# again under AddressSanitizer and UndefinedBehaviorSanitizer, a short fuzzing
# run, the Python suite against the installed wheel, and the same for PyPy
# 3.11 (tests/pypy/run_tests.sh).
# Usage: bash tests/run_all.sh  (FUZZ_SECONDS=0 skips the fuzzing, TARVEK_PYPY=0
# the PyPy stage; PYTHON names the CPython, default python3).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-2}
WERROR=${TARVEK_WERROR:-OFF}

# Each stage's heading carries the time since the start, to keep CI's length in view.
stage() {
  printf '== [%d:%02d] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"
}

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
# The browser that renders the report page in its test.
command -v chromium >/dev/null 2>&1 || need_packages+=(chromium)
# Virtual environments with pip (Debian keeps ensurepip apart).
"$PYTHON" -c 'import ensurepip' >/dev/null 2>&1 || need_packages+=(python3-venv)
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
    stage "installing Debian packages: ${need_packages[*]}"
    apt_update
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_packages[@]}" >/dev/null
  else
    echo "missing Debian packages (install them as root): ${need_packages[*]}" >&2
  fi
fi

export TARVEK_WERROR=$WERROR JOBS
stage "source distribution (python -m build --sdist)"
SDIST=$(bash tests/wheels/sdist.sh | tail -n 1)
export SDIST
VENV=${TARVEK_VENV:-build/venv-cpython}
bash tests/wheels/venv.sh "$PYTHON" "$VENV" test,dask
python=$VENV/bin/python

if "$python" -c 'import sys; sys.exit(sys.implementation.name != "cpython")'; then
  stage "ruff and mypy --strict (settings in pyproject.toml)"
  "$python" -m ruff check .
  "$python" -m mypy
fi

stage "native tests"
cmake -S . -B build/native -DTARVEK_BUILD_TESTS=ON -DTARVEK_BUILD_MODULE=OFF \
  -DTARVEK_WERROR="$WERROR" >/dev/null
cmake --build build/native -j"$JOBS"
ctest --test-dir build/native --output-on-failure

stage "native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/native-asan -DTARVEK_BUILD_TESTS=ON -DTARVEK_BUILD_MODULE=OFF \
  -DTARVEK_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVEK_WERROR="$WERROR" >/dev/null
cmake --build build/native-asan -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/native-asan --output-on-failure

if [ "${FUZZ_SECONDS:-60}" != 0 ] && [ -f fuzz/run.sh ] && command -v clang++ >/dev/null 2>&1; then
  stage "fuzzing for ${FUZZ_SECONDS:-60} s"
  bash fuzz/run.sh "${FUZZ_SECONDS:-60}"
fi

stage "Python tests, against the installed wheel"
# Run from outside the checkout's package folders so that the installed
# package is tested.
"$python" -m pytest -c "$PWD/pyproject.toml" --rootdir "$PWD" -p xdist -n "$JOBS" "$PWD/tests/python"

if [ "${TARVEK_PYPY:-1}" != 0 ]; then
  stage "PyPy 3.11"
  bash tests/pypy/run_tests.sh
fi
stage "all passed"
