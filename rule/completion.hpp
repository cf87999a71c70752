// The Add1 completion with its internal switches, for the tests and the
// benchmarks: the exported equal_shares_add1 is complete_add1 with skipping.
#ifndef TARVEK_COMPLETION_HPP
#define TARVEK_COMPLETION_HPP

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "election.hpp"
#include "equal_shares.hpp"
#include "range_run.hpp"

namespace tarvek {

struct CompletionStats {
    std::uint64_t runs = 0;          // runs of the rule for a single budget
    std::uint64_t range_runs = 0;    // runs for a range of budgets, proved or not
    std::uint64_t skipped_runs = 0;  // single-budget runs replaced by proved ranges
    // Failed range runs that still showed every run of their range to be
    // accepted and not exhaustive, settled by one run at their last budget.
    std::uint64_t criterion_ranges = 0;
    // Runs played to settle the criterion where a close race failed a range.
    std::uint64_t forked_runs = 0;
    // Range runs that failed, by the decision that they could not prove.
    std::array<std::uint64_t, kBlockerCount> failed_ranges{};
    // Failed range runs split into parts that go on from the round that
    // failed; the parts run so, and those left to single runs, by the
    // decision that they could not prove.
    std::uint64_t split_ranges = 0;
    std::uint64_t resumed_parts = 0;
    std::array<std::uint64_t, kBlockerCount> failed_parts{};
};

// With `skip_runs` false, every trial budget gets a run of its own (one more
// unit of money per voter each time); with it true, ranges of trial budgets
// that provably select the same projects are settled by one run. Both give the
// same result, bit for bit, and the same errors.
// Where nothing shows that the outcome has settled, the completion gives up
// with a std::runtime_error after `max_runs_of_work` runs of the rule
// (skipped runs do not count).
constexpr std::uint64_t kMaxRunsOfWork = std::uint64_t{1} << 20;

// The completion over a prepared election (with its tie ranks, if any): the
// outcome, and the trial budget of a run of the rule that selects exactly it
// (re-running the rule with that budget replays the outcome's run): the first
// of the plain completion's accepted runs in a row that selected it, the same
// with and without `skip_runs`. Finding that budget can take a few more
// runs; with `find_budget` false it is left 0.
struct Completion {
    std::vector<Index> outcome;
    double budget = 0.0;
};
Completion complete(const Election& election, double total_budget, bool skip_runs,
                    CompletionStats* stats = nullptr,
                    std::uint64_t max_runs_of_work = kMaxRunsOfWork, bool find_budget = true);

std::vector<std::string> complete_add1(const IdList& voters, const IdList& projects,
                                       const CostMap& cost, const ApproverMap& approvers,
                                       const UtilityMap& total_utility, double total_budget,
                                       bool skip_runs, CompletionStats* stats = nullptr,
                                       std::uint64_t max_runs_of_work = kMaxRunsOfWork);

}  // namespace tarvek

#endif  // TARVEK_COMPLETION_HPP
