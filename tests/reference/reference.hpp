// A slow, plain reference implementation of the Method of Equal Shares with
// utilities, its tie-breaking and its Add1 completion.
//
// It is written to read like the definition of the rule: string-keyed maps,
// a full stable sort per evaluation and a fresh run of the rule per trial
// budget. The native tests compare the engine against it, and the benchmark
// uses it as its yardstick, so it is a plain library without test code.
#ifndef TARVEK_REFERENCE_HPP
#define TARVEK_REFERENCE_HPP

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace reference {

// The same container types as the engine's interface.
using Id = std::string;
using IdList = std::vector<Id>;
using CostMap = std::unordered_map<Id, double>;
using Supporter = std::pair<Id, std::int32_t>;
using SupporterList = std::vector<Supporter>;
using ApproverMap = std::unordered_map<Id, SupporterList>;
using UtilityMap = std::unordered_map<Id, std::int32_t>;

// The project to select among `choices`: the lowest cost, then the highest
// total utility. Throws std::runtime_error("Tie-breaking failed: <id> <id> ")
// when not exactly one project remains (also for an empty `choices`), and
// std::out_of_range("_Map_base::at") for a missing map entry.
std::string break_ties(const CostMap& cost, const UtilityMap& total_utility, IdList choices);

// The fixed-budget rule: the selected projects in selection order.
std::vector<std::string> equal_shares_utils(const IdList& voters, const IdList& projects,
                                            const CostMap& cost, const ApproverMap& approvers,
                                            const UtilityMap& total_utility, double total_budget);

struct Add1Result {
    std::vector<std::string> outcome;  // the outcome held when the completion stopped
    std::uint64_t runs = 0;            // runs of the fixed-budget rule made, the first included
    bool ended = false;                // false: still running after `max_runs` runs
};

// The Add1 completion, stopping after at most `max_runs` runs of the rule.
// It ends when the held outcome is exhaustive, when the next outcome
// overspends, when there are no voters (the first outcome is returned), or
// when an accepted further run at `trial_budget` had trial_budget + n ==
// trial_budget (every later run would replay it). With `ended == false`,
// `outcome` is the outcome held after `max_runs` runs, not a result.
Add1Result equal_shares_add1_runs(const IdList& voters, const IdList& projects,
                                  const CostMap& cost, const ApproverMap& approvers,
                                  const UtilityMap& total_utility, double total_budget,
                                  std::uint64_t max_runs);

inline constexpr std::uint64_t default_max_runs = 1000000;

// The Add1 completion with `default_max_runs`; throws std::runtime_error when
// it does not end within them.
std::vector<std::string> equal_shares_add1(const IdList& voters, const IdList& projects,
                                           const CostMap& cost, const ApproverMap& approvers,
                                           const UtilityMap& total_utility, double total_budget);

}  // namespace reference

#endif  // TARVEK_REFERENCE_HPP
