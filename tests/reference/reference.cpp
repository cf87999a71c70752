// The reference implementation: each function follows the rule step by step,
// with no shortcuts beyond those the rule itself takes.
#include "reference.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <stdexcept>

namespace reference {

namespace {

// A lookup in a caller's map; a missing key fails with a fixed message.
template <class Map>
const typename Map::mapped_type& lookup(const Map& map, const Id& key) {
    const auto found = map.find(key);
    if (found == map.end()) throw std::out_of_range("_Map_base::at");
    return found->second;
}

[[noreturn]] void fail_tie(const IdList& tied) {
    std::string message = "Tie-breaking failed: ";
    for (const auto& id : tied) message += id + " ";
    throw std::runtime_error(message);
}

// Supporter order: smallest key first, a NaN key after every other key
// (+infinity included).
bool key_before(double a, double b) {
    if (std::isnan(a)) return false;
    if (std::isnan(b)) return true;
    return a < b;
}

double cost_of(const IdList& outcome, const CostMap& cost) {
    double total = 0.0;
    for (const auto& id : outcome) total += lookup(cost, id);
    return total;
}

// True when no project outside `outcome` fits into what is left of the budget.
bool is_exhaustive(const IdList& outcome, double spent, const IdList& projects,
                   const CostMap& cost, double total_budget) {
    for (const auto& p : projects) {
        if (std::find(outcome.begin(), outcome.end(), p) != outcome.end()) continue;
        if (spent + lookup(cost, p) <= total_budget) return false;
    }
    return true;
}

}  // namespace

std::string break_ties(const CostMap& cost, const UtilityMap& total_utility, IdList choices) {
    // Lowest cost: a later element replaces the cheapest only when strictly cheaper.
    std::size_t cheapest = 0;
    for (std::size_t i = 1; i < choices.size(); ++i) {
        const double candidate = lookup(cost, choices[i]);
        if (lookup(cost, choices[cheapest]) > candidate) cheapest = i;
    }
    if (choices.empty()) fail_tie(choices);
    const double lowest_cost = lookup(cost, choices[cheapest]);

    IdList cheapest_ones;
    for (const auto& id : choices) {
        if (lookup(cost, id) == lowest_cost) cheapest_ones.push_back(id);
    }
    choices = cheapest_ones;

    // Highest total utility among those, the same way.
    if (!choices.empty()) {
        std::size_t most_useful = 0;
        for (std::size_t i = 1; i < choices.size(); ++i) {
            if (lookup(total_utility, choices[most_useful]) < lookup(total_utility, choices[i])) {
                most_useful = i;
            }
        }
        const std::int32_t highest = lookup(total_utility, choices[most_useful]);
        IdList most_useful_ones;
        for (const auto& id : choices) {
            if (lookup(total_utility, id) == highest) most_useful_ones.push_back(id);
        }
        choices = most_useful_ones;
    }

    if (choices.size() != 1) fail_tie(choices);
    return choices.front();
}

std::vector<std::string> equal_shares_utils(const IdList& voters, const IdList& projects,
                                            const CostMap& cost, const ApproverMap& approvers,
                                            const UtilityMap& total_utility, double total_budget) {
    // Money each voter still holds; a supporter who is not a voter holds 0.0.
    std::unordered_map<Id, double> budget;
    const double n = static_cast<double>(voters.size());
    for (const auto& v : voters) budget[v] = total_budget / n;

    // Projects still in play, with their last effective vote count (exact).
    std::unordered_map<Id, double> remaining;
    IdList first_seen;  // the candidates in the order of their first occurrence
    for (const auto& p : projects) {
        if (!(lookup(cost, p) > 0.0)) continue;
        if (lookup(approvers, p).empty()) continue;
        const double start = lookup(total_utility, p);
        if (remaining.count(p) == 0) first_seen.push_back(p);
        remaining[p] = start;
    }

    std::vector<std::string> winners;
    while (!remaining.empty()) {
        // Greatest stored count first; equal counts in order of first occurrence.
        IdList candidates;
        for (const auto& p : first_seen) {
            if (remaining.count(p) != 0) candidates.push_back(p);
        }
        std::stable_sort(candidates.begin(), candidates.end(),
                         [&](const Id& a, const Id& b) { return remaining.at(a) > remaining.at(b); });

        double best_count = 0.0;
        IdList best;
        std::set<Id> unaffordable;
        for (const auto& c : candidates) {
            if (best_count > remaining.at(c)) break;

            const double project_cost = lookup(cost, c);
            const SupporterList& supporters = lookup(approvers, c);
            double supporter_money = 0.0;
            for (const auto& [v, u] : supporters) supporter_money += budget[v];
            if (project_cost > supporter_money) {
                unaffordable.insert(c);
                continue;
            }

            SupporterList sorted = supporters;
            std::stable_sort(sorted.begin(), sorted.end(), [&](const Supporter& a, const Supporter& b) {
                return key_before(budget[a.first] / a.second, budget[b.first] / b.second);
            });

            double utility_left = lookup(total_utility, c);
            double paid = 0.0;
            for (const auto& [v, u] : sorted) {
                const double share = (project_cost - paid) / utility_left;
                if (share * u > budget[v]) {
                    paid += budget[v];
                    utility_left -= u;
                    continue;
                }
                const double effective_count = project_cost / share;
                remaining[c] = std::isnan(effective_count) ? -std::numeric_limits<double>::infinity()
                                                           : effective_count;
                if (effective_count > 0.0 && std::isfinite(effective_count)) {
                    if (effective_count > best_count) {
                        best = {c};
                        best_count = effective_count;
                    } else if (effective_count == best_count) {
                        best.push_back(c);
                    }
                }
                break;
            }
        }

        for (const auto& p : unaffordable) remaining.erase(p);
        if (best.empty()) break;

        const std::string winner = break_ties(cost, total_utility, best);
        winners.push_back(winner);
        remaining.erase(winner);

        const double price = lookup(cost, winner) / best_count;
        for (const auto& [v, u] : lookup(approvers, winner)) {
            const double payment = u * price;
            const double charge = budget[v] < payment ? budget[v] : payment;
            budget[v] -= charge;
        }
    }
    return winners;
}

Add1Result equal_shares_add1_runs(const IdList& voters, const IdList& projects,
                                  const CostMap& cost, const ApproverMap& approvers,
                                  const UtilityMap& total_utility, double total_budget,
                                  std::uint64_t max_runs) {
    Add1Result result;
    result.outcome = equal_shares_utils(voters, projects, cost, approvers, total_utility, total_budget);
    result.runs = 1;
    if (voters.empty()) {
        // Every outcome would be empty again: nothing can change.
        result.ended = true;
        return result;
    }

    const double n = static_cast<double>(voters.size());
    const double whole_share = std::trunc(total_budget / n);
    double trial_budget = n * whole_share;
    double spent = cost_of(result.outcome, cost);

    while (!is_exhaustive(result.outcome, spent, projects, cost, total_budget)) {
        if (result.runs >= max_runs) return result;  // ended stays false
        trial_budget = trial_budget + n;
        IdList next_outcome =
            equal_shares_utils(voters, projects, cost, approvers, total_utility, trial_budget);
        ++result.runs;
        const double next_cost = cost_of(next_outcome, cost);
        if (!(next_cost <= total_budget)) break;
        result.outcome = std::move(next_outcome);
        spent = next_cost;
        // The trial budget no longer grows: every later run would replay this one.
        if (trial_budget + n == trial_budget) break;
    }
    result.ended = true;
    return result;
}

std::vector<std::string> equal_shares_add1(const IdList& voters, const IdList& projects,
                                           const CostMap& cost, const ApproverMap& approvers,
                                           const UtilityMap& total_utility, double total_budget) {
    Add1Result result = equal_shares_add1_runs(voters, projects, cost, approvers, total_utility,
                                               total_budget, default_max_runs);
    if (!result.ended) {
        throw std::runtime_error("reference: the completion did not end within " +
                                 std::to_string(default_max_runs) + " runs");
    }
    return std::move(result.outcome);
}

}  // namespace reference
