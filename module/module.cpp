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

namespace {

namespace py = pybind11;
using tarvek_module::Passed;

template <bool kCompleted>
std::vector<std::string> equal_shares(Passed<tarvek::IdList> voters, Passed<tarvek::IdList> projects,
                                      Passed<tarvek::CostMap> cost,
                                      Passed<tarvek::ApproverMap> approvers,
                                      Passed<tarvek::UtilityMap> total_utility,
                                      Passed<double> total_budget) {
    tarvek_module::ElectionReader reader;
    double budget = 0.0;
    if (!reader.voters(voters.object) || !reader.projects(projects.object) ||
        !reader.costs(cost.object) || !reader.supporter_lists(approvers.object) ||
        !reader.total_utilities(total_utility.object) ||
        !tarvek_module::read_real(total_budget.object, budget)) {
        throw py::reference_cast_error();
    }
    const tarvek::Election election = tarvek::build_election(reader.finish());
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
