#!/usr/bin/env bash
# Runs the native GoogleTest suite under valgrind's memcheck; exits non-zero
# on any memory error or leak, or when a test fails.
#
#   bash fuzz/valgrind.sh [GTEST_FILTER]      e.g. 'TieBreaking*:FixedBudget*'
#
# The default filter leaves out Differential.RandomSmallInstances: it gives
# hundreds of completions a few seconds of wall-clock time in total, which
# memcheck's slowdown exceeds (a time-out, not a memory error). Pass '*' to
# run everything.
#
# Builds the suite first (cmake, module off) into build/native, or into
# TARVEK_VALGRIND_BUILD when set (e.g. to stay out of another build's way).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${TARVEK_VALGRIND_BUILD:-$root/build/native}"
filter="${1:--Differential.RandomSmallInstances}"

cmake -S "$root" -B "$build" -DTARVEK_BUILD_TESTS=ON -DTARVEK_BUILD_MODULE=OFF >/dev/null
cmake --build "$build" -j2 --target native_tests >/dev/null

valgrind --tool=memcheck --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --track-origins=yes \
    "$build/tests/native_tests" --gtest_filter="$filter" --gtest_brief=1
