#!/usr/bin/env bash
# Builds the engine's fuzz target with clang and libFuzzer into build/fuzz and
# runs it for a bounded time.
#
#   bash fuzz/run.sh [SECONDS]        (default 60)
#
# Exits non-zero when the fuzzer finds a crash, a sanitizer report, a
# mismatch with the reference, a broken invariant or a timeout; the failing
# input is left in build/fuzz/artifacts/. The seed corpus (fuzz/corpus) is
# not modified: new inputs go to build/fuzz/corpus. Extra libFuzzer options
# can be passed in TARVEK_FUZZ_ARGS, e.g. TARVEK_FUZZ_ARGS="-jobs=1".
set -euo pipefail

seconds="${1:-60}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/build/fuzz"
mkdir -p "$out/corpus" "$out/artifacts"

# Built with CMake, with the project's flags (tarvek_flags) plus libFuzzer,
# AddressSanitizer and UBSan; only what changed is rebuilt.
cmake -S "$root" -B "$out/build" -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" \
    -DTARVEK_BUILD_MODULE=OFF -DTARVEK_BUILD_FUZZ=ON -DTARVEK_LIBFUZZER=ON -DTARVEK_SANITIZE=ON \
    -DTARVEK_WERROR="${TARVEK_WERROR:-OFF}" >/dev/null
cmake --build "$out/build" -j"${JOBS:-2}" --target fuzz_engine
cp "$out/build/fuzz/fuzz_engine" "$out/fuzz_engine"

# -timeout: one input may take at most this long (a hang is a failure). The
# work of one input is bounded by the completion's own count of runs, so the
# limit only catches a loop outside that count; it is generous, because a
# loaded machine stretches an input that takes a second alone many times over.
# Completions whose plain steps run long are checked in a child process with
# their own, softer limit (TARVEK_FUZZ_SLOW_MS, see fuzz_engine.cpp).
# Only every 8th of those is checked while fuzzing (TARVEK_FUZZ_LONG_SAMPLE).
export TARVEK_FUZZ_LONG_SAMPLE="${TARVEK_FUZZ_LONG_SAMPLE:-8}"
# shellcheck disable=SC2086
"$out/fuzz_engine" \
    -max_total_time="$seconds" \
    -timeout=300 \
    -rss_limit_mb=2048 \
    -max_len=512 \
    -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/" \
    ${TARVEK_FUZZ_ARGS:-} \
    "$out/corpus" "$root/fuzz/corpus" "$root/fuzz/regressions"
