#!/usr/bin/env bash
# Replays saved fuzz inputs through the fuzz target without libFuzzer: builds
# it with the ordinary compiler (g++ by default) and a small main into
# build/fuzz-replay, then runs every file of the given paths (default: the
# seed corpus and the regression inputs). Exits non-zero if any input fails.
# TARVEK_FUZZ_DUMP=1 prints each decoded instance as Python literals.
#
#   bash fuzz/replay.sh [PATH...]
#
# TARVEK_REPLAY_SANITIZE=0 builds without AddressSanitizer/UBSan.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/fuzz-replay"
mkdir -p "$out"

cxx="${CXX:-g++}"
flags=(-std=c++17 -g -O1 -ffp-contract=off -fno-omit-frame-pointer
       -I"$root/rule" -I"$root/tests/reference" -I"$root/fuzz")
if [[ "${TARVEK_REPLAY_SANITIZE:-1}" != 0 ]]; then
    flags+=(-fsanitize=address,undefined -fno-sanitize-recover=all)
fi
"$cxx" "${flags[@]}" "$root"/rule/*.cpp "$root/tests/reference/reference.cpp" \
    "$root/fuzz/fuzz_engine.cpp" "$root/fuzz/replay_main.cpp" -o "$out/replay"

if [[ $# -gt 0 ]]; then
    exec "$out/replay" "$@"
fi
# The seed corpus holds completions that legitimately run long; the
# regression inputs must end in time (TARVEK_FUZZ_SLOW_FAILS).
"$out/replay" "$root/fuzz/corpus"
TARVEK_FUZZ_SLOW_FAILS=1 TARVEK_FUZZ_SLOW_MS="${TARVEK_FUZZ_SLOW_MS:-2000}" "$out/replay" "$root/fuzz/regressions"
