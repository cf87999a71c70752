// Reading arguments made only of plain built-in objects (list, tuple, dict,
// str, int, float, exactly these types) by asking the interpreter for a few
// big objects: voter ids interned to dense indices by the interpreter
// itself, the project ids joined into one UTF-8 buffer, numbers packed into
// arrays. On PyPy, every object that C code touches needs a C-level twin,
// made one by one, and every call between C and Python has a fixed cost;
// this way the items of the arguments never cross into C at all, the
// interpreter's JIT does the per-item work, and one call into Python reads
// the first five arguments at once. A new process reads a small election
// from its marshalled bytes instead (plain_reader.cpp says until when).
//
// The packing (plain_packing.py, compiled once) reads every item once and
// looks at nothing but exact types, so no Python code of the caller runs.
// When anything is not plain (a subclass, bytes ids, a number out of range,
// a str without a UTF-8 encoding, a dict changed by another thread
// meanwhile, ...), a read returns false: the general reading (election_reader.cpp) then reads the
// arguments, with its rules and errors. A BaseException that is not an
// Exception (KeyboardInterrupt from a signal handler while the packing
// runs) ends the call.
#ifndef TARVEK_MODULE_PLAIN_READER_HPP
#define TARVEK_MODULE_PLAIN_READER_HPP

#include <pybind11/pybind11.h>

#include "interned_election.hpp"

namespace tarvek_module {

// True where asking for big objects pays: on PyPy. On CPython the items are
// read directly, which is faster than building the big objects.
#if defined(PYPY_VERSION)
constexpr bool kReadPlainArgumentsWhole = true;
#else
constexpr bool kReadPlainArgumentsWhole = false;
#endif

namespace plain {

namespace py = pybind11;

// The first five arguments at once, when every one of them is plain; false
// when any one is not, which the item by item reading then reads from the
// start. The interner is fresh, and the caller's to discard on false.
bool read_election(py::handle voters, py::handle projects, py::handle cost, py::handle approvers,
                   py::handle total_utility, tarvek::ElectionInterner& interner);

// One argument at a time, for the item by item reading: false when this
// argument is not plain. With these, one argument that is not plain (a dict
// subclass, costs that are numpy floats) leaves the others read whole; read
// item by item they would make the call about ten times slower on PyPy.
bool read_voters(py::handle sequence, tarvek::ElectionInterner& interner);
bool read_projects(py::handle sequence, tarvek::ElectionInterner& interner);
bool read_costs(py::handle dict, tarvek::ElectionInterner& interner);
bool read_supporter_lists(py::handle dict, tarvek::ElectionInterner& interner);
bool read_total_utilities(py::handle dict, tarvek::ElectionInterner& interner);

}  // namespace plain
}  // namespace tarvek_module

#endif  // TARVEK_MODULE_PLAIN_READER_HPP
