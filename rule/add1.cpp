// The Add1 completion: repeat the rule with trial budgets that give every
// voter one more unit of money per run, keeping each outcome that still fits
// into the real budget.
#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "completion.hpp"
#include "election.hpp"
#include "fixed_budget.hpp"
#include "range_run.hpp"

namespace tarvek {
namespace {

double outcome_cost(const Election& e, const std::vector<Index>& outcome) {
    double total = 0.0;
    for (const Index c : outcome) total += e.candidate_cost[c];
    return total;
}

// True when no project outside `outcome` fits into what is left of the
// budget. `selected` flags the outcome's candidates.
bool is_exhaustive(const Election& e, const std::vector<char>& selected, double spent,
                   double total_budget) {
    for (std::size_t i = 0; i < e.entry_cost.size(); ++i) {
        const std::int64_t candidate = e.entry_candidate[i];
        if (candidate != kNotCandidate && selected[static_cast<std::size_t>(candidate)]) continue;
        if (spent + e.entry_cost[i] <= total_budget) return false;
    }
    return true;
}

// Past this start money the trial budget no longer grows (adding n rounds
// away once n is below half an ulp of the budget, below 2^54 * n).
constexpr double kLastStartMoney = 0x1p55;

// True when trial + k * n is exact for every k up to `runs`, so that it
// equals k additions of n one after the other: all these sums are multiples
// of a power of two p that divides both trial and n, and stay below 2^53 * p.
bool range_is_exact(double trial_budget, double n, double runs) {
    if (std::trunc(trial_budget) != trial_budget) return false;
    double p = 1.0;
    while (std::fmod(n, 2.0 * p) == 0.0 && std::fmod(trial_budget, 2.0 * p) == 0.0 && p < 0x1p60) {
        p *= 2.0;
    }
    return std::fabs(trial_budget) + runs * n <= 0x1p53 * p;
}

// The completion's last resort. Where neither a range proof nor the plain
// saturation test can show that the outcome has settled, the plain steps may
// go on for up to 2^53 runs (until the trial budget stops growing); such an
// election gets an error instead of an endless call. No election whose
// outcome can be reached in practice comes near the default limit: skipped
// runs do not count.
void count_work(const CompletionStats& counts, std::uint64_t max_runs_of_work) {
    if (counts.runs + counts.range_runs > max_runs_of_work) {
        throw std::runtime_error(
            "equal_shares_add1: the completion did not settle within " +
            std::to_string(max_runs_of_work) + " runs of the rule");
    }
}

}  // namespace

Completion complete(const Election& e, double total_budget, bool skip_runs,
                    CompletionStats* stats, std::uint64_t max_runs_of_work) {
    CompletionStats counts;
    RuleRunner runner(e, kLastStartMoney);
    RangeRunner range_runner(e);
    std::vector<Index> outcome = runner.run(total_budget, false);
    double outcome_budget = total_budget;
    ++counts.runs;

    // With no voters every run selects nothing and the trial budget would
    // not grow: the first outcome is final.
    if (e.voter_entries > 0.0) {
        const double n = e.voter_entries;
        const double whole_share = std::trunc(total_budget / n);
        double trial_budget = n * whole_share;
        double spent = outcome_cost(e, outcome);
        std::vector<char> selected(e.candidate_count(), 0);
        double range = 2.0;  // trial budgets to settle with the next range run
        // Where even a few budgets in a row decide differently (a vote with
        // many voters whose payers move with every unit of money), range
        // runs cost more than the single runs they replace: after each
        // failure of a range of at most 4 budgets, wait twice as many single
        // runs, from 4 up to 256, before the next try, until a range of 8
        // or more succeeds again.
        std::uint64_t single_runs_before_range = 0;
        std::uint64_t backoff = 4;
        // The proof that nothing changes any more matters only for elections
        // that would otherwise run on and on; it starts after 32 steps.
        std::uint64_t steps_to_final_check = 32;
        std::uint64_t final_check_interval = 32;
        // Whether the held outcome was settled by a range run, whose last
        // budget has not been checked for saturation as single runs are.
        bool held_from_range = false;
        for (;;) {
            for (const Index c : outcome) selected[c] = 1;
            if (is_exhaustive(e, selected, spent, total_budget)) break;
            count_work(counts, max_runs_of_work);

            // Now and then, try to prove that every remaining trial budget
            // selects the same projects: then the next run is accepted or not,
            // and every later one repeats it, so the plain loop would never
            // change the outcome again. Checked ever more rarely, so it costs
            // a fraction of the runs.
            if (--steps_to_final_check == 0) {
                final_check_interval *= 2;
                steps_to_final_check = final_check_interval;
                // The held outcome is that of the run at trial_budget, the
                // last of the range: if that run is saturated, no later one
                // differs.
                if (held_from_range) {
                    runner.run(trial_budget, true);
                    ++counts.runs;
                    if (runner.saturated()) break;
                }
                const double first_start = (trial_budget + n) / n;
                if (skip_runs && first_start <= kLastStartMoney) {
                    ++counts.range_runs;
                    if (range_runner.run({first_start, kLastStartMoney})) {
                        if (outcome_cost(e, range_runner.winners()) <= total_budget) {
                            outcome = range_runner.winners();
                            outcome_budget = trial_budget + n;  // decides as the whole range
                        }
                        break;
                    }
                }
            }

            // A range of budgets that all select the same projects stands for
            // that many accepted runs: each would be accepted (or the first
            // rejected) and leave the same outcome, which is still not
            // exhaustive when the range ends unless the test above says so.
            if (skip_runs && range >= 2.0 && single_runs_before_range == 0 &&
                range_is_exact(trial_budget, n, range)) {
                const double last = trial_budget + range * n;
                ++counts.range_runs;
                if (range_runner.run({(trial_budget + n) / n, last / n})) {
                    const double next_cost = outcome_cost(e, range_runner.winners());
                    if (!(next_cost <= total_budget)) break;
                    for (const Index c : outcome) selected[c] = 0;
                    outcome = range_runner.winners();
                    spent = next_cost;
                    trial_budget = last;
                    outcome_budget = last;
                    held_from_range = true;
                    counts.skipped_runs += static_cast<std::uint64_t>(range);
                    if (range >= 8.0) backoff = 4;
                    range *= 2.0;
                } else {
                    if (range <= 4.0) {
                        single_runs_before_range = backoff;
                        backoff = std::min<std::uint64_t>(2 * backoff, 256);
                    }
                    range = std::floor(range / 4.0);
                }
                continue;
            }

            if (single_runs_before_range > 0) --single_runs_before_range;
            trial_budget = trial_budget + n;
            const std::vector<Index>& next = runner.run(trial_budget, true);
            ++counts.runs;
            const double next_cost = outcome_cost(e, next);
            if (!(next_cost <= total_budget)) break;
            for (const Index c : outcome) selected[c] = 0;
            outcome = next;
            spent = next_cost;
            outcome_budget = trial_budget;
            held_from_range = false;
            // Every later run would repeat this one (the budget no longer
            // grows, or the run is saturated), so the outcome never changes
            // again and the plain loop would never end.
            if (trial_budget + n == trial_budget || runner.saturated()) break;
            range = 2.0;
        }
    }
    if (stats != nullptr) *stats = counts;
    return {outcome, outcome_budget};
}

std::vector<std::string> complete_add1(const IdList& voters, const IdList& projects,
                                       const CostMap& cost, const ApproverMap& approvers,
                                       const UtilityMap& total_utility, double total_budget,
                                       bool skip_runs, CompletionStats* stats,
                                       std::uint64_t max_runs_of_work) {
    const Election e = prepare_election(voters, projects, cost, approvers, total_utility);
    const Completion done = complete(e, total_budget, skip_runs, stats, max_runs_of_work);
    std::vector<std::string> result;
    result.reserve(done.outcome.size());
    for (const Index c : done.outcome) result.push_back(*e.candidate_id[c]);
    return result;
}

}  // namespace tarvek

std::vector<std::string> equal_shares_add1(const tarvek::IdList& voters,
                                           const tarvek::IdList& projects,
                                           const tarvek::CostMap& cost,
                                           const tarvek::ApproverMap& approvers,
                                           const tarvek::UtilityMap& total_utility,
                                           double total_budget) {
    return tarvek::complete_add1(voters, projects, cost, approvers, total_utility, total_budget,
                                 true);
}
