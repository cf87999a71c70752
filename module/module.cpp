// The Python module: the engine's two rule functions, nothing else. No names,
// defaults or docstrings are added on purpose: the generated signatures and
// pybind11's exception translation are the contract. The arguments are read
// in order, straight into the engine's interned election; a rejected one
// ends the call with pybind11's TypeError.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "completion.hpp"
#include "election_reader.hpp"
#include "fixed_budget.hpp"
#include "passed_argument.hpp"
#include "plain_reader.hpp"

namespace {

namespace py = pybind11;
using tarvek_module::Passed;

// The first five arguments, as a whole where they are plain and that pays
// (plain_reader.hpp), else item by item; a rejected one ends the call.
tarvek::InternedElection read_election(py::handle voters, py::handle projects, py::handle cost,
                                       py::handle approvers, py::handle total_utility) {
    if (tarvek_module::kReadPlainArgumentsWhole) {
        tarvek::ElectionInterner plain;
        if (tarvek_module::plain::read_election(voters, projects, cost, approvers, total_utility, plain)) {
            return plain.finish();
        }
    }
    tarvek_module::ElectionReader reader;
    if (!reader.voters(voters) || !reader.projects(projects) || !reader.costs(cost) ||
        !reader.supporter_lists(approvers) || !reader.total_utilities(total_utility)) {
        throw py::reference_cast_error();
    }
    return reader.finish();
}

template <bool kCompleted>
std::vector<std::string> equal_shares(Passed<tarvek::IdList> voters, Passed<tarvek::IdList> projects,
                                      Passed<tarvek::CostMap> cost,
                                      Passed<tarvek::ApproverMap> approvers,
                                      Passed<tarvek::UtilityMap> total_utility,
                                      Passed<double> total_budget) {
    const tarvek::InternedElection interned =
        read_election(voters.object, projects.object, cost.object, approvers.object, total_utility.object);
    double budget = 0.0;
    if (!tarvek_module::read_real(total_budget.object, budget)) throw py::reference_cast_error();
    const tarvek::Election election = tarvek::build_election(interned);
    std::vector<tarvek::Index> outcome;
    if (kCompleted) {
        outcome = tarvek::complete(election, budget, true, nullptr, tarvek::kMaxRunsOfWork, false).outcome;
    } else {
        tarvek::RuleRunner runner(election);
        outcome = runner.run(budget, false);
    }
    return tarvek::candidate_ids(election, outcome);
}

}  // namespace

PYBIND11_MODULE(tarvekbindings, m) {
    // PyPy leaves __doc__ out of a module created without a docstring, so the
    // attribute would be the module type's own; None on every interpreter.
    m.doc() = pybind11::none();
    m.def("equal_shares_utils", &equal_shares<false>);
    m.def("equal_shares_add1", &equal_shares<true>);
}
