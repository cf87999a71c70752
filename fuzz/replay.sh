#!/usr/bin/env bash
# Replays saved fuzz inputs through the fuzz target without libFuzzer: builds
# it with the ordinary compiler (g++ by default) and a small main (CMake
# target fuzz_replay) into build/fuzz-replay, then runs every file of the
# given paths (default: the seed corpus and the regression inputs). Exits non-zero if any input fails.
# TARVEK_FUZZ_DUMP=1 prints each decoded instance as Python literals.
#
#   bash fuzz/replay.sh [PATH...]
#
# TARVEK_REPLAY_SANITIZE=0 builds without AddressSanitizer/UBSan.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/fuzz-replay"
mkdir -p "$out"

sanitize=ON
[[ "${TARVEK_REPLAY_SANITIZE:-1}" != 0 ]] || sanitize=OFF
cmake -S "$root" -B "$out/build" -DCMAKE_CXX_COMPILER="${CXX:-g++}" \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
    -DTARVEK_BUILD_MODULE=OFF -DTARVEK_BUILD_FUZZ=ON -DTARVEK_SANITIZE="$sanitize" \
    -DTARVEK_WERROR="${TARVEK_WERROR:-OFF}" >/dev/null
cmake --build "$out/build" -j"${JOBS:-2}" --target fuzz_replay >/dev/null
cp "$out/build/fuzz/fuzz_replay" "$out/replay"

if [[ $# -gt 0 ]]; then
    exec "$out/replay" "$@"
fi
# The seed corpus holds completions that legitimately run long; the
# regression inputs must end in time (TARVEK_FUZZ_SLOW_FAILS).
"$out/replay" "$root/fuzz/corpus"
TARVEK_FUZZ_SLOW_FAILS=1 TARVEK_FUZZ_SLOW_MS="${TARVEK_FUZZ_SLOW_MS:-2000}" "$out/replay" "$root/fuzz/regressions"
