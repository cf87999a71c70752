// Reading the first five arguments of a small election from the bytes of
// marshal.dumps((voters, projects, cost, approvers, total_utility), 2), which
// plain_reader.cpp asks for on PyPy: marshal walks the objects at the
// interpreter's own level, while a Python loop over a few hundred items runs
// interpreted there (the JIT compiles a loop only after it has run some 1600
// times).
//
// Each argument is parsed with the values the item by item reading accepts
// (election_reader.hpp): sequences (list or tuple) of str ids; dicts keyed by
// str; costs float or int, utilities and total utilities ints of 32 bits;
// supporter lists and pairs lists or tuples, a pair of exactly two items.
// Anything else that marshal writes (an int beyond 32 bits, a bool, bytes,
// None, an id with a lone surrogate, ...) makes the read fail.
#ifndef TARVEK_MODULE_MARSHAL_READER_HPP
#define TARVEK_MODULE_MARSHAL_READER_HPP

#include <string_view>

#include "interned_election.hpp"

namespace tarvek_module {

// The five arguments into a fresh interner, in their order; false when they
// are not plain as above, leaving the interner with part of the election,
// for the caller to discard.
bool read_marshalled_election(std::string_view bytes, tarvek::ElectionInterner& interner);

}  // namespace tarvek_module

#endif  // TARVEK_MODULE_MARSHAL_READER_HPP
