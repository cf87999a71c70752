// The Add1 completion: repeat the rule with trial budgets that give every
// voter one more unit of money per run, keeping each outcome that still fits
// into the real budget.
#include <cmath>
#include <vector>

#include "election.hpp"
#include "equal_shares.hpp"
#include "fixed_budget.hpp"

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

}  // namespace
}  // namespace tarvek

std::vector<std::string> equal_shares_add1(const tarvek::IdList& voters,
                                           const tarvek::IdList& projects,
                                           const tarvek::CostMap& cost,
                                           const tarvek::ApproverMap& approvers,
                                           const tarvek::UtilityMap& total_utility,
                                           double total_budget) {
    using namespace tarvek;
    const Election e = prepare_election(voters, projects, cost, approvers, total_utility);
    RuleRunner runner(e);
    std::vector<Index> outcome = runner.run(total_budget, false);

    // With no voters every run selects nothing and the trial budget would
    // not grow: the first outcome is final.
    if (!voters.empty()) {
        const double n = e.voter_entries;
        const double whole_share = std::trunc(total_budget / n);
        double trial_budget = n * whole_share;
        double spent = outcome_cost(e, outcome);
        std::vector<char> selected(e.candidate_count(), 0);
        for (;;) {
            for (const Index c : outcome) selected[c] = 1;
            if (is_exhaustive(e, selected, spent, total_budget)) break;
            trial_budget = trial_budget + n;
            const std::vector<Index>& next = runner.run(trial_budget, true);
            const double next_cost = outcome_cost(e, next);
            if (!(next_cost <= total_budget)) break;
            for (const Index c : outcome) selected[c] = 0;
            outcome = next;
            spent = next_cost;
            // Every later run would repeat this one (the budget no longer
            // grows, or the run is saturated), so the outcome never changes
            // again and the plain loop would never end.
            if (trial_budget + n == trial_budget || runner.saturated()) break;
        }
    }

    std::vector<std::string> result;
    result.reserve(outcome.size());
    for (const Index c : outcome) result.push_back(*e.candidate_id[c]);
    return result;
}
