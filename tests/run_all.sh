#!/usr/bin/env bash
# Runs every test: sets up what is missing, installs the package with its test
# extras, then the Python suite, the native suite, and the native suite again
# under AddressSanitizer and UndefinedBehaviorSanitizer, then a short fuzzing
# run. Usage: bash tests/run_all.sh  (FUZZ_SECONDS=0 skips the fuzzing).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
JOBS=${JOBS:-2}
WERROR=${TARVEK_WERROR:-OFF}

need_packages=()
dpkg -s libgtest-dev >/dev/null 2>&1 || need_packages+=(libgtest-dev)
command -v clang++ >/dev/null 2>&1 || need_packages+=(clang)
dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || need_packages+=(libclang-rt-14-dev)
if ((${#need_packages[@]})); then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need_packages[@]}" >/dev/null
  else
    echo "missing Debian packages (install them as root): ${need_packages[*]}" >&2
  fi
fi

echo "== install"
"$PYTHON" -m pip install -q --upgrade pip >/dev/null 2>&1 || true
"$PYTHON" -m pip install -q ".[test]" -Ccmake.define.TARVEK_WERROR="$WERROR"

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
