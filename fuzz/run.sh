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
mkdir -p "$out/obj" "$out/corpus" "$out/artifacts"

cxx="${CXX_FUZZ:-clang++}"
flags=(-std=c++17 -g -O1 -fno-omit-frame-pointer -ffp-contract=off
       -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
       -I"$root/rule" -I"$root/tests/reference" -I"$root/fuzz")
sources=("$root"/rule/*.cpp "$root/tests/reference/reference.cpp" "$root/fuzz/fuzz_engine.cpp")

# Rebuild only the objects whose source or headers changed.
objects=()
for src in "${sources[@]}"; do
    obj="$out/obj/$(echo "${src#"$root"/}" | tr '/' '_').o"
    objects+=("$obj")
    if [[ ! -f "$obj" || "$src" -nt "$obj" ]] ||
       [[ -n "$(find "$root/rule" "$root/tests/reference" "$root/fuzz" -name '*.hpp' -newer "$obj" -print -quit)" ]]; then
        "$cxx" "${flags[@]}" -c "$src" -o "$obj"
    fi
done
"$cxx" "${flags[@]}" "${objects[@]}" -o "$out/fuzz_engine"

# -timeout: one input may take at most this long (a hang is a failure).
# Completions whose plain steps run long are checked in a child process with
# their own, softer limit (TARVEK_FUZZ_SLOW_MS, see fuzz_engine.cpp).
# Only every 8th of those is checked while fuzzing (TARVEK_FUZZ_LONG_SAMPLE).
export TARVEK_FUZZ_LONG_SAMPLE="${TARVEK_FUZZ_LONG_SAMPLE:-8}"
# shellcheck disable=SC2086
"$out/fuzz_engine" \
    -max_total_time="$seconds" \
    -timeout=30 \
    -rss_limit_mb=2048 \
    -max_len=512 \
    -print_final_stats=1 \
    -artifact_prefix="$out/artifacts/" \
    ${TARVEK_FUZZ_ARGS:-} \
    "$out/corpus" "$root/fuzz/corpus" "$root/fuzz/regressions"
