// Reading an election from Python objects straight into the engine's
// interned form (rule/interned_election.hpp): one pass over the arguments,
// every id interned as it is read, no intermediate maps of strings. Shared by
// the extension modules that take an election.
//
// The rules are those of pybind11's standard conversions (pybind11/stl.h),
// which the contract module used before and whose texts it keeps: which
// values each argument accepts, the order in which items are read, and which
// errors of an argument object pass through unchanged. Every reading step
// returns false when the argument is rejected: the call must then end with
// pybind11's TypeError (throw pybind11::reference_cast_error(), which the
// dispatcher turns into it), reading nothing further. Errors of an argument
// object itself (a length or an item that cannot be obtained) are thrown as
// pybind11::error_already_set.
#ifndef TARVEK_MODULE_ELECTION_READER_HPP
#define TARVEK_MODULE_ELECTION_READER_HPP

#include <pybind11/pybind11.h>

#include "interned_election.hpp"
#include "voter_objects.hpp"

namespace tarvek_module {

namespace py = pybind11;

class ElectionReader {
public:
    // The arguments in their order: `voters` and `projects` are sequences of
    // ids (str, bytes, bytearray); `cost`, `approvers` and `total_utility`
    // dicts keyed by project id.
    bool voters(py::handle sequence);
    bool projects(py::handle sequence);
    bool costs(py::handle dict);
    bool supporter_lists(py::handle dict);
    bool total_utilities(py::handle dict);

    // The interned election, once every argument was read.
    tarvek::InternedElection finish();

private:
    bool supporter(PyObject* pair, bool keep);
    // Exact lists and tuples, read straight from their storage.
    bool exact_voters(PyObject* sequence);
    bool exact_supporters(PyObject* sequence, bool keep);
    std::size_t exact_supporter_run(PyObject* const* pairs, std::size_t count, bool keep, bool& rejected);

    tarvek::ElectionInterner interner_;
    VoterObjects voter_objects_;
};

// A real number (a cost or the budget) as pybind11 converts it to a double.
bool read_real(py::handle value, double& out);

}  // namespace tarvek_module

#endif  // TARVEK_MODULE_ELECTION_READER_HPP
