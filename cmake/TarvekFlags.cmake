# The compile flags of everything built from this repository, in one
# interface target: the engine (and through it the module, the native tests,
# the fuzzer and the benchmark) links `tarvek_flags`.
#
# Results must be bit-identical across builds: no contraction into fused
# multiply-add, never fast-math.
include_guard(GLOBAL)

option(TARVEK_WERROR "Treat compiler warnings as errors" OFF)
option(TARVEK_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(TARVEK_LIBFUZZER "Instrument for libFuzzer (clang only)" OFF)

add_library(tarvek_flags INTERFACE)
target_compile_options(tarvek_flags INTERFACE
  -ffp-contract=off -fno-fast-math -Wall -Wextra -Wpedantic -Wshadow -Wconversion)
if(TARVEK_WERROR)
  target_compile_options(tarvek_flags INTERFACE -Werror)
endif()
if(TARVEK_SANITIZE)
  target_compile_options(tarvek_flags INTERFACE
    -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_link_options(tarvek_flags INTERFACE -fsanitize=address,undefined)
endif()
if(TARVEK_LIBFUZZER)
  # Coverage for the fuzzer in every object; the fuzz target itself links
  # libFuzzer's main.
  target_compile_options(tarvek_flags INTERFACE -fsanitize=fuzzer-no-link)
endif()
