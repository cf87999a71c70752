// An election instance as the benchmark hands it from Python to native code.
//
// The file is a sequence of whitespace-separated tokens:
//
//   tarvek-bench-instance 1
//   budget <real>
//   voters <n>         then n ids
//   projects <m>       then m ids
//   cost <k>           then k pairs: id real
//   approvers <k>      then k groups: id <s>, then s pairs: id integer
//   total_utility <k>  then k pairs: id integer
//   end
//
// An id is written as "=" followed by its bytes, where '%', every byte below
// 0x21 (blanks and control characters) and 0x7f..0xff are written as %XX
// (two upper-case hex digits); "=" alone is the empty id. Reals are in any
// form strtod reads; the writer uses C99 hex floats ("0x1.8p+3", "inf",
// "nan"), which round-trip exactly.
#ifndef TARVEK_BENCH_INSTANCE_HPP
#define TARVEK_BENCH_INSTANCE_HPP

#include <cstddef>
#include <string>

#include "equal_shares.hpp"
#include "election_instance.hpp"

namespace bench {

using Instance = tarvek_support::Instance;

// Reads the file at `path`; throws std::runtime_error naming the fault.
Instance load_instance(const std::string& path);

// An id in the file's escaped form, without the leading "=".
std::string escape_id(const std::string& id);

// Estimated heap and object bytes of the instance's containers (libstdc++
// layouts, allocator overhead of 16 bytes per block): its own size in memory.
std::size_t estimate_bytes(const Instance& instance);

}  // namespace bench

#endif  // TARVEK_BENCH_INSTANCE_HPP
