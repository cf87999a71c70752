// Public interface of the equal-shares engine: the fixed-budget Method of
// Equal Shares with utilities, its Add1 completion, and the tie-breaking that
// the rule consults in every selection.
//
// These three functions are exported from the shared library that the Python
// extension is built into, so native code can call them directly; everything
// else in the library is hidden.
#ifndef TARVEK_EQUAL_SHARES_HPP
#define TARVEK_EQUAL_SHARES_HPP

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#if defined(_WIN32)
#define TARVEK_EXPORT __declspec(dllexport)
#else
#define TARVEK_EXPORT __attribute__((visibility("default")))
#endif

namespace tarvek {

using Id = std::string;
using IdList = std::vector<Id>;
using CostMap = std::unordered_map<Id, double>;
using Supporter = std::pair<Id, std::int32_t>;
using SupporterList = std::vector<Supporter>;
using ApproverMap = std::unordered_map<Id, SupporterList>;
using UtilityMap = std::unordered_map<Id, std::int32_t>;

}  // namespace tarvek

// The project to select among `choices`, the projects that share the best
// effective vote count of a selection: the lowest cost first, then the highest
// total utility. Throws std::runtime_error("Tie-breaking failed: <id> <id> ")
// when two or more remain, and std::out_of_range("_Map_base::at") for an id
// missing from a map it consults.
TARVEK_EXPORT std::string break_ties(const tarvek::CostMap& cost,
                                     const tarvek::UtilityMap& total_utility,
                                     tarvek::IdList choices);

// The projects that the Method of Equal Shares with utilities selects for the
// budget `total_budget`, in selection order.
TARVEK_EXPORT std::vector<std::string> equal_shares_utils(
    const tarvek::IdList& voters, const tarvek::IdList& projects,
    const tarvek::CostMap& cost, const tarvek::ApproverMap& approvers,
    const tarvek::UtilityMap& total_utility, double total_budget);

// The Add1 completion: runs the rule with `total_budget`, then with trial
// budgets that give every voter one more unit of money per run, and keeps each
// outcome whose cost fits into `total_budget`.
TARVEK_EXPORT std::vector<std::string> equal_shares_add1(
    const tarvek::IdList& voters, const tarvek::IdList& projects,
    const tarvek::CostMap& cost, const tarvek::ApproverMap& approvers,
    const tarvek::UtilityMap& total_utility, double total_budget);

#endif  // TARVEK_EQUAL_SHARES_HPP
